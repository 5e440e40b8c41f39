#include "platform/Pipe.h"

#include <cstdio>
#include <cwchar>
#include <vector>

#include "platform/CodePage.h"

namespace {

// Names the worker's end of the relay to the worker: the handle's value.
constexpr wchar_t kRelayHandleVariable[] = L"KESTRIX_RELAY_HANDLE";

// A security descriptor whose access list lets the current user, and nobody
// else, use the pipe (XP's default lets everyone read it).
class UserOnlySecurity {
 public:
  UserOnlySecurity() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    m_user.resize(size);
    bool ok = size && ::GetTokenInformation(token, TokenUser, m_user.data(), size, &size);
    ::CloseHandle(token);
    if (!ok) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid;
    m_acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid));
    PACL acl = reinterpret_cast<PACL>(m_acl.data());
    m_ok = ::InitializeAcl(acl, static_cast<DWORD>(m_acl.size()), ACL_REVISION) &&
           ::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
           ::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
  }
  // Null when the descriptor could not be made.
  SECURITY_ATTRIBUTES* Attributes() { return m_ok ? &m_attributes : nullptr; }

 private:
  std::vector<unsigned char> m_user;
  std::vector<unsigned char> m_acl;
  SECURITY_DESCRIPTOR m_descriptor{};
  SECURITY_ATTRIBUTES m_attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  bool m_ok = false;
};

// Not guessable from outside: the process id alone would be.
unsigned long RandomPart() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  unsigned long x = now.LowPart ^ (::GetTickCount() << 16) ^ reinterpret_cast<uintptr_t>(&now);
  // One step of a 32-bit mix, so that nearby counters give unlike names.
  x ^= x >> 16;
  x *= 0x7feb352dUL;
  x ^= x >> 15;
  return x;
}

}  // namespace

HANDLE CreateRelayPipe(const std::string& baseName, HANDLE* workerEnd) {
  *workerEnd = nullptr;
  UserOnlySecurity security;
  if (!security.Attributes()) return INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 8; ++attempt) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "-%lu-%08lx", static_cast<unsigned long>(::GetCurrentProcessId()),
                  RandomPart() + static_cast<unsigned long>(attempt));
    OleString name = AnsiToWide(baseName + suffix);
    // Synchronous on the launcher's side: it writes with plain WriteFile.
    HANDLE server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 2048, 2048, 5000, security.Attributes());
    if (server == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_PIPE_BUSY) continue;  // taken
      return INVALID_HANDLE_VALUE;
    }
    // The only instance, connected here at once: no other client can have it.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE client = ::CreateFileW(name.c_str(), GENERIC_READ, 0, &inherit, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (client == INVALID_HANDLE_VALUE) {
      ::CloseHandle(server);
      return INVALID_HANDLE_VALUE;
    }
    wchar_t value[24];
    std::swprintf(value, 24, L"%lu", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(client)));
    ::SetEnvironmentVariableW(kRelayHandleVariable, value);
    *workerEnd = client;
    return server;
  }
  return INVALID_HANDLE_VALUE;
}

BOOL ConnectRelayPipe(HANDLE) { return TRUE; }

void CloseRelayPipe(HANDLE pipe) {
  // What was written is read first (a flush waits for it), then the
  // disconnection ends the worker's pending read.
  ::FlushFileBuffers(pipe);
  ::DisconnectNamedPipe(pipe);
  ::CloseHandle(pipe);
}

HANDLE OpenRelayPipe(const std::string&) {
  wchar_t value[24] = {};
  DWORD n = ::GetEnvironmentVariableW(kRelayHandleVariable, value, 24);
  // Taken once: processes the worker starts do not inherit the name.
  ::SetEnvironmentVariableW(kRelayHandleVariable, nullptr);
  if (n == 0 || n >= 24) return INVALID_HANDLE_VALUE;
  uintptr_t number = 0;
  for (DWORD i = 0; i < n; ++i) {
    if (value[i] < L'0' || value[i] > L'9') return INVALID_HANDLE_VALUE;
    number = number * 10 + static_cast<uintptr_t>(value[i] - L'0');
  }
  HANDLE handle = reinterpret_cast<HANDLE>(number);
  // Only a pipe: a stale or planted value names no handle of this process.
  if (!handle || ::GetFileType(handle) != FILE_TYPE_PIPE) return INVALID_HANDLE_VALUE;
  return handle;
}

HANDLE CreateNamedPipeW(const std::string& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeoutMs,
                        SECURITY_ATTRIBUTES* securityAttributes) {
  OleString wide = AnsiToWide(name);
  return ::CreateNamedPipeW(wide.c_str(), openMode, pipeMode, maxInstances, outBufferSize, inBufferSize,
                            defaultTimeoutMs, securityAttributes);
}

HANDLE CreateFileW(const std::string& name, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile) {
  OleString wide = AnsiToWide(name);
  return ::CreateFileW(wide.c_str(), desiredAccess, shareMode, securityAttributes, creationDisposition,
                       flagsAndAttributes, templateFile);
}

BOOL CreateProcessW(const std::string& applicationName, wchar_t* commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void* environment, const wchar_t* currentDirectory,
                    STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation) {
  OleString wide = AnsiToWide(applicationName);
  return ::CreateProcessW(wide.c_str(), commandLine, processAttributes, threadAttributes, inheritHandles,
                          creationFlags, environment, currentDirectory, startupInfo, processInformation);
}
