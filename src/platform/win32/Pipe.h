// The relay pipe and processes: the SDK's named pipes, overlapped reads with
// completion routines and CreateProcessW, plus overloads that take the
// pipe's and the program's names as narrow text (the thread's ANSI code
// page), as the stand-ins do.
#pragma once

#include <string>

#include "platform/Kernel.h"

HANDLE CreateNamedPipeW(const std::string& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeoutMs,
                        SECURITY_ATTRIBUTES* securityAttributes);
HANDLE CreateFileW(const std::string& name, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
// commandLine null: the new process counts one argument, its own path.
BOOL CreateProcessW(const std::string& applicationName, wchar_t* commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void* environment, const wchar_t* currentDirectory,
                    STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation);
