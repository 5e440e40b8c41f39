// The built host over its standard input and output, as a browser starts it:
// in Windows 10 mode (a worker reading standard input) and in XP mode
// (major version 5: a launcher relaying through the named pipe to a worker).
// The XP copy, kestrix-host-xp.exe, is told it runs on XP by the wine prefix
// (scripts/build-win32.sh). Without a page the control never becomes ready,
// so what is checked is what needs none: the frames, the keepalive, the exit
// and the relay. kestrix-host-page.exe has one (page/): the browser stand-in.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/StdoutSink.h"

namespace {

std::wstring ProgramPath(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

std::string Frame(const std::string& text) {
  uint32_t n = static_cast<uint32_t>(text.size());
  std::string out{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                  static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
  return out + text;
}
// {"method":"ping"} padded with blanks to n bytes (JSON allows them).
std::string PaddedPing(size_t n) {
  std::string text = "{\"method\":\"ping\"}";
  text.append(n - text.size(), ' ');
  return Frame(text);
}
const std::string kPingFrame = std::string("\x11\0\0\0", 4) + "{\"method\":\"ping\"}";

// The texts of the frames in out, less the keepalive's pings.
std::vector<std::string> TextsOtherThanPings(const std::string& out) {
  std::vector<std::string> texts;
  for (size_t at = 0; at + 4 <= out.size();) {
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(out[at + i])); };
    uint32_t n = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    std::string text = out.substr(at + 4, n);
    if (text != "{\"method\":\"ping\"}") texts.push_back(text);
    at += 4 + static_cast<size_t>(n);
  }
  return texts;
}

// A program started with pipes on its standard input and output.
class Child {
 public:
  Child(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead, outWrite;
    ::CreatePipe(&inRead, &m_in, &inherit, 0);
    ::CreatePipe(&m_out, &outWrite, &inherit, 0);
    ::SetHandleInformation(m_in, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(m_out, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    PROCESS_INFORMATION info{};
    m_started = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info) != FALSE;
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    if (!m_started) return;
    m_process = info.hProcess;
    ::CloseHandle(info.hThread);
    m_reader = std::thread([this] {
      char buffer[4096];
      DWORD got = 0;
      while (::ReadFile(m_out, buffer, sizeof buffer, &got, nullptr) && got > 0) m_output.append(buffer, got);
    });
  }
  ~Child() {
    CloseInput();
    if (m_process) {
      if (::WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) ::TerminateProcess(m_process, 1);
      ::CloseHandle(m_process);
    }
    if (m_reader.joinable()) m_reader.join();
    ::CloseHandle(m_out);
  }
  bool Started() const { return m_started; }
  void Write(const std::string& bytes) {
    DWORD written = 0;
    ::WriteFile(m_in, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  void CloseInput() {
    if (m_in) ::CloseHandle(m_in);
    m_in = nullptr;
  }
  // Waits for the end (a deadline, not a measurement) and returns the exit
  // status, or -1 when it did not end; then everything it wrote.
  int Wait() {
    if (::WaitForSingleObject(m_process, 30000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(m_process, &code);
    return static_cast<int>(code);
  }
  std::string Output() {
    if (m_reader.joinable()) m_reader.join();
    return m_output;
  }

 private:
  bool m_started = false;
  HANDLE m_in = nullptr, m_out = nullptr, m_process = nullptr;
  std::thread m_reader;
  std::string m_output;
};

const std::wstring kHost = ProgramPath(L"kestrix-host.exe");
const std::wstring kHostXp = ProgramPath(L"kestrix-host-xp.exe");
const std::string kExit = Frame("{\"method\":\"exit\"}");

TEST(HostStdio, ExitEndsTheHostBeforeItsFirstPing) {
  Child host(kHost, L"");
  ASSERT_TRUE(host.Started());
  host.Write(kExit);
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_EQ(host.Output(), "");
}

// In text mode the 0x1A of the first prefix would end the input, and the
// 0D 0A of the second would shrink to 0A: the exit after them would then
// never be read, and the keepalive would ping before it ended the host.
TEST(HostStdio, LengthBytesThatTextModeWouldTranslateAreReadAsSent) {
  Child host(kHost, L"");
  ASSERT_TRUE(host.Started());
  host.Write(PaddedPing(0x1A) + PaddedPing(0x0A0D) + kExit);
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_EQ(host.Output(), "");
}

TEST(HostStdio, SilenceGetsOnePingThenTheKeepaliveEndsTheHost) {
  Child host(kHost, L"");
  ASSERT_TRUE(host.Started());
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_EQ(host.Output(), kPingFrame);
}

// Started with an argument on major version 5 the host is a launcher: the
// exit reaches the worker through the named pipe, before any tick.
TEST(HostStdioXp, TheLauncherRelaysThroughTheNamedPipeToItsWorker) {
  Child launcher(kHostXp, L"chrome-extension://kestrix/");
  ASSERT_TRUE(launcher.Started());
  launcher.Write(PaddedPing(0x1A) + kExit);
  launcher.CloseInput();  // ends the relay; the launcher then waits for its worker
  EXPECT_EQ(launcher.Wait(), 0);
  EXPECT_EQ(launcher.Output(), "");
}

// Without an argument on major version 5 the host is a relay worker: it
// reads the pipe, not its standard input, so an exit written there goes
// unread; with no launcher's pipe the keepalive ends it. (Run in Windows 10
// mode this would end at once without a ping: it also proves the XP mode.)
TEST(HostStdioXp, AWorkerWithoutLauncherIgnoresStandardInput) {
  Child worker(kHostXp, L"");
  ASSERT_TRUE(worker.Started());
  worker.Write(kExit);
  EXPECT_EQ(worker.Wait(), 0);
  EXPECT_EQ(worker.Output(), kPingFrame);
}

// The browser stand-in registered through COM as the WebBrowser class, so the
// host's own container creates, sites and activates it, and the fake control:
// the page the executable carries loads, "new" obtains the control through
// the page's getKP, and the request the gate held until then is answered.
TEST(HostStdioPage, ARequestIsAnsweredThroughThePageAndTheControl) {
  Child host(ProgramPath(L"kestrix-host-page.exe"), L"");
  ASSERT_TRUE(host.Started());
  host.Write(Frame(R"({"method":"new","sender":{"tab":{"id":42},"url":"http://127.0.0.1:8080/shop"}})") +
             Frame(R"({"method":"getPrinters","event":"e"})") + kExit);
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_EQ(TextsOtherThanPings(host.Output()),
            std::vector<std::string>{"{\"data\":[\"Fake Printer A\",\"Fake Printer B\"],\"event\":\"e\",\"tab\":42}\n"});
}

// The output sink writes bytes as they are: 0A stays 0A (no CR LF).
TEST(HostStdio, StandardOutputIsWrittenByteForByte) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  Child child(self, L"--write-control-bytes");
  ASSERT_TRUE(child.Started());
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.Output(), std::string("\x0a\x0d\x1a\x00\x0a", 5));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--write-control-bytes") {
    return StandardOutputSink().Write("\x0a\x0d\x1a\x00\x0a", 5) ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
