// Test helpers for the programs of the Windows build: a program started with
// pipes on its standard input, output and error, frames, and environment
// variables set for a scope.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

inline std::wstring ProgramPath(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

inline std::string Frame(const std::string& text) {
  uint32_t n = static_cast<uint32_t>(text.size());
  std::string out{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                  static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
  return out + text;
}
// {"method":"ping"} padded with blanks to n bytes (JSON allows them).
inline std::string PaddedPing(size_t n) {
  std::string text = "{\"method\":\"ping\"}";
  text.append(n - text.size(), ' ');
  return Frame(text);
}
inline const std::string kPingFrame = std::string("\x11\0\0\0", 4) + "{\"method\":\"ping\"}";

// The texts of the frames in out, less the keepalive's pings.
inline std::vector<std::string> TextsOtherThanPings(const std::string& out) {
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
// Its standard error is collected too (Errors()).
class Child {
 public:
  Child(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead, outWrite, errWrite;
    ::CreatePipe(&inRead, &m_in, &inherit, 0);
    ::CreatePipe(&m_out, &outWrite, &inherit, 0);
    ::CreatePipe(&m_err, &errWrite, &inherit, 0);
    ::SetHandleInformation(m_in, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(m_out, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(m_err, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    PROCESS_INFORMATION info{};
    m_started = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info) != FALSE;
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    if (!m_started) return;
    m_process = info.hProcess;
    ::CloseHandle(info.hThread);
    m_reader = std::thread([this] { Collect(m_out, &m_output); });
    m_errReader = std::thread([this] { Collect(m_err, &m_errors); });
  }
  ~Child() {
    CloseInput();
    if (m_process) {
      if (::WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) ::TerminateProcess(m_process, 1);
      ::CloseHandle(m_process);
    }
    if (m_reader.joinable()) m_reader.join();
    if (m_errReader.joinable()) m_errReader.join();
    ::CloseHandle(m_out);
    ::CloseHandle(m_err);
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
  // What it has written so far, while it runs.
  std::string Peek() {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_output;
  }
  std::string Errors() {
    if (m_errReader.joinable()) m_errReader.join();
    return m_errors;
  }

 private:
  void Collect(HANDLE from, std::string* into) {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      std::lock_guard<std::mutex> lock(m_mu);
      into->append(buffer, got);
    }
  }

  bool m_started = false;
  HANDLE m_in = nullptr, m_out = nullptr, m_err = nullptr, m_process = nullptr;
  std::thread m_reader, m_errReader;
  std::string m_output, m_errors;
  std::mutex m_mu;
};

// Sets an environment variable of this process (and so of the hosts it
// starts) for a scope.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::wstring& value) : m_name(name) {
    wchar_t old[1024];
    DWORD n = ::GetEnvironmentVariableW(name, old, 1024);
    m_had = n > 0 && n < 1024;
    if (m_had) m_old.assign(old, n);
    ::SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedVariable() { ::SetEnvironmentVariableW(m_name, m_had ? m_old.c_str() : nullptr); }

 private:
  const wchar_t* m_name;
  bool m_had = false;
  std::wstring m_old;
};

}  // namespace kxtest
