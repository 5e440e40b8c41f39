// The built host over its standard input and output, as a browser starts it:
// in Windows 10 mode (a worker reading standard input) and in XP mode
// (major version 5: a launcher relaying through the named pipe to a worker).
// The XP copy, kestrix-host-xp.exe, is told it runs on XP by the wine prefix
// (scripts/build-win32.sh). Without a page the control never becomes ready,
// so what is checked is what needs none: the frames, the keepalive, the exit
// and the relay. kestrix-host-page.exe has one (page/): the browser stand-in.
#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostProcess.h"
#include "platform/StdoutSink.h"

namespace {

using namespace kxtest;

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


// ---- the page's data and the user's text ---------------------------------------

const std::wstring kHostPage = ProgramPath(L"kestrix-host-page.exe");
const std::wstring kHostPageXp = ProgramPath(L"kestrix-host-page-xp.exe");
std::string NewFrame(int tab, const std::string& event = "") {
  return Frame(R"({"method":"new",)" + (event.empty() ? "" : "\"event\":\"" + event + "\",") +
               R"("sender":{"tab":{"id":)" + std::to_string(tab) + R"(},"url":"http://127.0.0.1:8080/shop"}})");
}
std::string AbsoluteUrlFrame(const std::string& url, const std::string& event) {
  return Frame(R"({"method":"getAbsoluteURL","params":[")" + url + R"(",""],"event":")" + event + R"("})");
}
std::string UrlReply(const std::string& url, const std::string& event, int tab) {
  return "{\"data\":\"" + url + "\",\"event\":\"" + event + "\",\"tab\":" + std::to_string(tab) + "}\n";
}
// café/Привет/日本/😀: no ANSI code page holds all of them.
const std::string kWorldUrl =
    "http://x/caf\xc3\xa9/\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82/\xe6\x97\xa5\xe6\x9c\xac/\xf0\x9f\x98\x80";

TEST(HostStdioPage, TextOutsideTheAnsiCodePageComesBackWhole) {
  Child host(kHostPage, L"");
  ASSERT_TRUE(host.Started());
  host.Write(NewFrame(1) + AbsoluteUrlFrame(kWorldUrl, "u") + kExit);
  EXPECT_EQ(host.Wait(), 0);
  EXPECT_EQ(TextsOtherThanPings(host.Output()), std::vector<std::string>{UrlReply(kWorldUrl, "u", 1)});
}

// The page file is written to and loaded from a temporary folder whose name
// the ANSI code page cannot spell.
TEST(HostStdioPage, ACyrillicTemporaryFolderHoldsThePage) {
  wchar_t base[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, base);
  const std::wstring temp = std::wstring(base) + L"\x041F\x0440\x0438\x0432\x0435\x0442-" +
                            std::to_wstring(::GetCurrentProcessId()) + L"\\";
  ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr));
  {
    ScopedVariable tempVar(L"TEMP", temp), tmpVar(L"TMP", temp);
    Child host(kHostPage, L"");
    ASSERT_TRUE(host.Started());
    host.Write(NewFrame(2) + AbsoluteUrlFrame("http://x/a", "u") + kExit);
    EXPECT_EQ(host.Wait(), 0);
    EXPECT_EQ(TextsOtherThanPings(host.Output()), std::vector<std::string>{UrlReply("http://x/a", "u", 2)});
  }
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((temp + L"*.htm").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do ::DeleteFileW((temp + found.cFileName).c_str());
    while (::FindNextFileW(find, &found));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(temp.c_str());
}

// ---- the XP relay ------------------------------------------------------------------------

// Another process made the pipe name of old first (with its one instance):
// the launcher's relay has a name of its own and does not care.
TEST(HostStdioXp, ARelayPipeNameTakenByAnotherProcessChangesNothing) {
  HANDLE squatter = ::CreateNamedPipeW(L"\\\\.\\pipe\\myNamedPipeIn", PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(squatter, INVALID_HANDLE_VALUE) << ::GetLastError();
  Child launcher(kHostPageXp, L"chrome-extension://kestrix/");
  ASSERT_TRUE(launcher.Started());
  launcher.Write(NewFrame(3) + AbsoluteUrlFrame("http://x/3", "u") + kExit);
  EXPECT_EQ(launcher.Wait(), 0);
  EXPECT_EQ(TextsOtherThanPings(launcher.Output()), std::vector<std::string>{UrlReply("http://x/3", "u", 3)});
  ::CloseHandle(squatter);
}

// Two launchers at once (two tabs): each page gets its own answers, never
// the other's.
TEST(HostStdioXp, TwoLaunchersAtOnceKeepTheirPagesApart) {
  for (int round = 0; round < 2; ++round) {
    Child a(kHostPageXp, L"chrome-extension://kestrix/");
    Child b(kHostPageXp, L"chrome-extension://kestrix/");
    ASSERT_TRUE(a.Started() && b.Started());
    a.Write(NewFrame(1) + AbsoluteUrlFrame("http://x/one", "a"));
    b.Write(NewFrame(2) + AbsoluteUrlFrame("http://x/two", "b"));
    a.Write(kExit);
    b.Write(kExit);
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);
    EXPECT_EQ(TextsOtherThanPings(a.Output()), std::vector<std::string>{UrlReply("http://x/one", "a", 1)});
    EXPECT_EQ(TextsOtherThanPings(b.Output()), std::vector<std::string>{UrlReply("http://x/two", "b", 2)});
  }
}

// When the browser closes the host's input the host ends at once, in both
// modes: before its first tick, so without a ping.
TEST(HostStdio, ClosedInputEndsTheHostBeforeItsFirstPing) {
  for (const std::wstring* program : {&kHost, &kHostXp}) {
    Child host(*program, L"chrome-extension://kestrix/");
    ASSERT_TRUE(host.Started());
    host.CloseInput();
    EXPECT_EQ(host.Wait(), 0);
    EXPECT_EQ(host.Output(), "") << "the keepalive, not the end of input, ended the host";
  }
}

// ---- a control out of reach ------------------------------------------------------------

// The page loads, but no control of the printing control's class exists:
// known at once, so "new" and the request the gate held behind it get the error.
TEST(HostStdioPage, WithoutTheControlEveryRequestGetsControlUnavailable) {
  ScopedVariable noControl(L"KX_TEST_NO_CONTROL", L"1");
  Child host(kHostPage, L"");
  ASSERT_TRUE(host.Started());
  host.Write(NewFrame(4, "n") + Frame(R"({"method":"getVersion","event":"v"})") + kExit);
  EXPECT_EQ(host.Wait(), 0);
  std::vector<std::string> texts = TextsOtherThanPings(host.Output());
  ASSERT_EQ(texts.size(), 2u) << host.Output();
  for (const std::string& text : texts) {
    EXPECT_NE(text.find(R"({"error":{"code":"controlUnavailable","message":")"), std::string::npos) << text;
    EXPECT_NE(text.find("is it installed?"), std::string::npos) << text;
    EXPECT_NE(text.find(R"(,"tab":4})"), std::string::npos) << text;
  }
  EXPECT_NE(texts[0].find(R"("event":"n")"), std::string::npos);
  EXPECT_NE(texts[1].find(R"("event":"v")"), std::string::npos);
  EXPECT_NE(host.Errors().find("the printing control is unavailable"), std::string::npos) << host.Errors();
}

// wine's own WebBrowser has no page engine: the page never loads. After the
// bounded wait the request and the one held behind it get the error, the
// host says why on standard error, and (through the XP launcher, whose
// worker's standard error is not standard output) nothing else is in the frames.
TEST(HostStdioXp, TheRealWebBrowserWithoutAPageEngineAnswersControlUnavailable) {
  Child host(kHostXp, L"chrome-extension://kestrix/");
  ASSERT_TRUE(host.Started());
  host.Write(NewFrame(5, "n") + Frame(R"({"method":"getVersion","event":"v"})"));
  // The answers come after the wait; then the input ends.
  std::string out;
  for (int i = 0; i < 500 && TextsOtherThanPings(out).size() < 2; ++i) {
    ::Sleep(100);  // polling the collected output, bounded by the loop
    out = host.Peek();
  }
  host.CloseInput();
  EXPECT_EQ(host.Wait(), 0);
  std::vector<std::string> texts = TextsOtherThanPings(host.Output());
  ASSERT_EQ(texts.size(), 2u) << host.Output();
  EXPECT_EQ(texts[0].rfind(R"({"error":{"code":"controlUnavailable","message":")", 0), 0u) << texts[0];
  EXPECT_NE(texts[0].find(R"("event":"n")"), std::string::npos) << texts[0];
  EXPECT_NE(texts[1].find(R"("event":"v","tab":5})"), std::string::npos) << texts[1];
  EXPECT_NE(host.Errors().find("did not load within 30 s"), std::string::npos) << host.Errors();
}

// ---- what leaves the host besides its frames -------------------------------------------

// The host run under this test as its debugger: the page's data in a request
// must not reach the debug channel, where any listener reads it.
TEST(HostStdio, RequestsNeverReachTheDebugChannel) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE inRead = nullptr, inWrite = nullptr;
  ASSERT_TRUE(::CreatePipe(&inRead, &inWrite, &inherit, 0));
  ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  std::wstring commandLine = L"\"" + kHost + L"\"";
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(::CreateProcessW(kHost.c_str(), commandLine.data(), nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS,
                               nullptr, nullptr, &startup, &info));
  ::CloseHandle(inRead);
  ::CloseHandle(nul);
  const std::string secret = "the-page-data-4711";
  const std::string frames = Frame(R"({"method":"ping","note":")" + secret + R"("})") + kExit;
  DWORD written = 0;
  ::WriteFile(inWrite, frames.data(), static_cast<DWORD>(frames.size()), &written, nullptr);

  std::string debugText;
  bool ended = false;
  DEBUG_EVENT event{};
  while (!ended && ::WaitForDebugEvent(&event, 30000)) {
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) ::CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) ::CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& s = event.u.DebugString;
        std::string text(s.nDebugStringLength * (s.fUnicode ? 2 : 1), '\0');
        SIZE_T got = 0;
        ::ReadProcessMemory(info.hProcess, s.lpDebugStringData, text.data(), text.size(), &got);
        debugText += text.substr(0, got);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        // The loader's breakpoint goes on; every other exception to the host's own handlers.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) status = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        ended = true;
        break;
    }
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  ::CloseHandle(inWrite);
  if (!ended) ::TerminateProcess(info.hProcess, 1);
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);
  EXPECT_TRUE(ended);
  EXPECT_EQ(debugText.find(secret), std::string::npos) << debugText;
}

// Every executable carries its manifest: run as the user who starts it
// (asInvoker), so that Windows' installer detection never elevates it.
TEST(HostStdio, EveryExecutableRunsAsItsInvoker) {
  for (const wchar_t* name : {L"kestrix-host.exe", L"kestrix-install.exe"}) {
    HMODULE module = ::LoadLibraryExW(ProgramPath(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // the RT_MANIFEST of a program
    ASSERT_NE(found, nullptr) << "no manifest in " << std::string(name, name + wcslen(name));
    const char* text = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
    std::string manifest(text, ::SizeofResource(module, found));
    EXPECT_NE(manifest.find(R"(requestedExecutionLevel level="asInvoker")"), std::string::npos);
    EXPECT_NE(manifest.find("8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"), std::string::npos);  // Windows 10 and 11
    ::FreeLibrary(module);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--write-control-bytes") {
    return StandardOutputSink().Write("\x0a\x0d\x1a\x00\x0a", 5) ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
