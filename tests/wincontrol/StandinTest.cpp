// kestrix-host-standin.exe over its standard input and output: the host's
// page (the browser stand-in) gets the printing control the machine has
// installed through COM, made safe and sited as the DLL expects, so every
// answer on the wire is the DLL's. The private scheduler of
// tests/control/cups stands behind wine's spooler (CUPS_SERVER).
#include <gtest/gtest.h>
#include <windows.h>

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ControlHarness.h"
#include "control/win32/WideText.h"

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

// The host started with pipes on its standard input and output; the frames
// it writes are parsed as they arrive.
class Host {
 public:
  Host() {
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
    const std::wstring program = ProgramPath(L"kestrix-host-standin.exe");
    std::wstring commandLine = L"\"" + program + L"\"";
    PROCESS_INFORMATION info{};
    m_started = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info) != FALSE;
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    if (!m_started) return;
    m_process = info.hProcess;
    ::CloseHandle(info.hThread);
    m_reader = std::thread([this] { Read(); });
  }
  ~Host() {
    if (m_in) ::CloseHandle(m_in);
    if (m_process) {
      if (::WaitForSingleObject(m_process, 30000) != WAIT_OBJECT_0) ::TerminateProcess(m_process, 1);
      ::CloseHandle(m_process);
    }
    if (m_reader.joinable()) m_reader.join();
    ::CloseHandle(m_out);
  }
  bool Started() const { return m_started; }
  void Send(const std::string& text) {
    const std::string frame = Frame(text);
    DWORD written = 0;
    ::WriteFile(m_in, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
  }
  // Waits until a message (other than a ping) has the event name; its copy, or null.
  Json::Value WaitFor(const std::string& event, DWORD timeoutMs) {
    Json::Value found;
    Until([&] {
      for (const auto& m : m_messages)
        if (m["event"] == event) return found = m, true;
      return false;
    }, timeoutMs);
    return found;
  }
  // Sends exit and waits for the end; every message the host wrote.
  std::vector<Json::Value> Exit() {
    Send(R"({"method":"exit"})");
    ::CloseHandle(m_in);
    m_in = nullptr;
    EXPECT_EQ(::WaitForSingleObject(m_process, 30000), WAIT_OBJECT_0);
    if (m_reader.joinable()) m_reader.join();
    return m_messages;
  }

 private:
  void Read() {
    std::string buffer;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(m_out, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      buffer.append(chunk, got);
      while (buffer.size() >= 4) {
        auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(buffer[i])); };
        size_t n = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
        if (buffer.size() < 4 + n) break;
        Json::Value message;
        Json::Reader().parse(buffer.substr(4, n), message);
        buffer.erase(0, 4 + n);
        if (message.get("method", "") == "ping") continue;
        std::lock_guard lock(m_mu);
        m_messages.push_back(std::move(message));
      }
    }
  }
  bool Until(const std::function<bool()>& done, DWORD timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      {
        std::lock_guard lock(m_mu);
        if (done()) return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  bool m_started = false;
  HANDLE m_in = nullptr, m_out = nullptr, m_process = nullptr;
  std::thread m_reader;
  std::mutex m_mu;
  std::vector<Json::Value> m_messages;
};

const char kNew[] = R"({"method":"new","sender":{"tab":{"id":7},"url":"http://127.0.0.1:8080/shop"}})";

class Standin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_HRESULT_SUCCEEDED(CallDllInstall(true, L"machine")); }
  static void TearDownTestSuite() { CallDllInstall(false, L"machine"); }
};

TEST_F(Standin, TheHostsPageGetsTheInstalledControlsAnswersAndJobEvents) {
  Host host;
  ASSERT_TRUE(host.Started());
  host.Send(kNew);
  host.Send(R"({"method":"getVersion","event":"v"})");
  host.Send(R"({"method":"isImplemented","params":["getPrinters"],"event":"yes"})");
  host.Send(R"({"method":"isImplemented","params":["printToPDF"],"event":"no"})");
  host.Send(R"({"method":"getPrinters","event":"p"})");
  EXPECT_EQ(host.WaitFor("v", 60000)["data"], KESTRIX_VERSION);
  EXPECT_EQ(host.WaitFor("yes", 10000)["data"], true);
  EXPECT_EQ(host.WaitFor("no", 10000)["data"], false);
  const Json::Value printers = host.WaitFor("p", 30000)["data"];
  bool listed = false;
  for (const auto& name : printers) listed = listed || name == "kx-raw";
  EXPECT_TRUE(listed) << printers.toStyledString();

  // "Hello, raw\r\n" to the capture queue: its states, then done, once.
  host.Send(R"({"method":"print","params":[{"_hasCallback":true,"onState":"s","done":"d",)"
            R"("printer":"kx-raw","title":"standin raw","raw":"SGVsbG8sIHJhdw0K"},false]})");
  const Json::Value done = host.WaitFor("d", 90000);
  const std::vector<Json::Value> messages = host.Exit();
  ASSERT_EQ(done["params"][0], "success") << done.toStyledString();
  EXPECT_EQ(done["params"][1]["printerName"], "kx-raw");
  std::vector<std::string> events;
  std::vector<Json::Value> states;
  for (const auto& m : messages) {
    if (m["event"] != "s" && m["event"] != "d") continue;
    events.push_back(m["event"].asString());
    if (m["event"] == "s") states.push_back(m["params"][0]);
  }
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states.front()["status"], "submitting");
  EXPECT_EQ(states.back()["status"], "completed");
  EXPECT_EQ(states.back()["size"], 12);
  EXPECT_GT(done["params"][1]["jobId"].asInt(), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "d"), 1);
  EXPECT_EQ(events.back(), "d");
}

// The same host and page, read from a copy in another folder: the control
// is created and sited there, and refuses every member.
TEST_F(Standin, TheHostsPageAtAnotherAddressGetsTheControlsRefusal) {
  wchar_t temp[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring elsewhere = std::wstring(temp) + L"kx-standin-elsewhere";
  ::CreateDirectoryW(elsewhere.c_str(), nullptr);
  ::SetEnvironmentVariableW(L"KESTRIX_STANDIN_PAGE_FOLDER", elsewhere.c_str());
  Host host;
  ::SetEnvironmentVariableW(L"KESTRIX_STANDIN_PAGE_FOLDER", nullptr);
  ASSERT_TRUE(host.Started());
  host.Send(kNew);
  host.Send(R"({"method":"print","params":[{"_hasCallback":true,"onState":"s","done":"d",)"
            R"("printer":"kx-raw","raw":"SGVsbG8="},false]})");
  host.Send(R"({"method":"getVersion","event":"v"})");
  host.Send(R"({"method":"isImplemented","params":["getPrinters"],"event":"yes"})");
  const Json::Value version = host.WaitFor("v", 60000);
  const Json::Value implemented = host.WaitFor("yes", 10000);
  const std::vector<Json::Value> messages = host.Exit();
  // The page was read from there (and the copies go).
  int copies = 0;
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((elsewhere + L"\\*.htm").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do copies += ::DeleteFileW((elsewhere + L"\\" + found.cFileName).c_str()) ? 1 : 0;
    while (::FindNextFileW(find, &found));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(elsewhere.c_str());
  EXPECT_EQ(copies, 1);
  // Answered (the control was obtained), with what a refused member leaves.
  ASSERT_TRUE(version.isObject());
  EXPECT_EQ(version["data"], "");
  EXPECT_EQ(implemented["data"], false);
  for (const auto& m : messages) EXPECT_NE(m["event"], "d") << m.toStyledString();
}

}  // namespace
