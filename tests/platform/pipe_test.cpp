#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/Pipe.h"

namespace {

TEST(RelayPipe, FolderIsPrivateAndNamesCarryTheLauncherPid) {
  std::string dir = PrivatePipeFolder();
  ASSERT_FALSE(dir.empty());
  struct stat st;
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(PipePath("\\\\.\\pipe\\myNamedPipeIn", 1234), dir + "/myNamedPipeIn.1234");
}

TEST(RelayPipe, RefusesAFolderOthersCanEnter) {
  char tmpl[] = "/tmp/kx-pipe-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string old = getenv("TMPDIR") ? getenv("TMPDIR") : "";
  setenv("TMPDIR", tmpl, 1);
  std::string dir = std::string(tmpl) + "/kestrix-" + std::to_string(getuid());
  ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
  chmod(dir.c_str(), 0777);
  EXPECT_EQ(PrivatePipeFolder(), "");
  EXPECT_EQ(CreateNamedPipeW("\\\\.\\pipe\\x", 0, 0, 4, 2048, 2048, 5000, nullptr), INVALID_HANDLE_VALUE);
  rmdir(dir.c_str());
  ASSERT_EQ(symlink("/tmp", dir.c_str()), 0);
  EXPECT_EQ(PrivatePipeFolder(), "") << "a planted link is not followed";
  unlink(dir.c_str());
  rmdir(tmpl);
  if (old.empty())
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", old.c_str(), 1);
}

struct Completion {
  static inline std::string data;
  static inline DWORD lastError = 12345;
  static void Routine(DWORD error, DWORD n, OVERLAPPED*) {
    lastError = error;
    data.append(buffer, n);
  }
  static inline char buffer[16];
};

TEST(OverlappedRead, CompletionRunsOnTheWaitingThreadUntilTheWriterCloses) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "hello", 5), 5);
  close(fds[1]);
  HANDLE h = nullptr;
  // A FileObject over the read end, through the standard-handle route.
  int saved = dup(0);
  dup2(fds[0], 0);
  h = GetStdHandle(STD_INPUT_HANDLE);
  OVERLAPPED ov{};
  Completion::data.clear();
  ASSERT_TRUE(ReadFileEx(h, Completion::buffer, sizeof Completion::buffer, &ov, Completion::Routine));
  EXPECT_EQ(SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(Completion::lastError, 0u);
  EXPECT_EQ(Completion::data, "hello");
  ASSERT_TRUE(ReadFileEx(h, Completion::buffer, sizeof Completion::buffer, &ov, Completion::Routine));
  EXPECT_EQ(SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(Completion::lastError, ERROR_BROKEN_PIPE) << "end of input reads as a broken pipe";
  dup2(saved, 0);
  close(saved);
  close(fds[0]);
}

TEST(RelayPipe, WorkerWithoutLauncherFailsAtOnce) {
  // Our parent created no pipe, so opening by name must fail rather than block.
  EXPECT_EQ(CreateFileW("\\\\.\\pipe\\kx-no-such-pipe", FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
}

}  // namespace

namespace {

TEST(Handles, InvalidHandlesAreRefusedNotDereferenced) {
  // What a failed CreateFileW returns goes on into reads and waits.
  char buffer[4];
  DWORD n = 0;
  OVERLAPPED ov{};
  EXPECT_FALSE(ReadFileEx(INVALID_HANDLE_VALUE, buffer, 4, &ov, [](DWORD, DWORD, OVERLAPPED*) {}));
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, 4, &n, nullptr));
  EXPECT_EQ(HandleToFd(INVALID_HANDLE_VALUE), -1);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(ConnectNamedPipe(INVALID_HANDLE_VALUE, nullptr));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

}  // namespace
