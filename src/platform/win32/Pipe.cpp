#include "platform/Pipe.h"

#include "platform/CodePage.h"

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
