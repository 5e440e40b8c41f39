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
// ---- the launcher's relay ----------------------------------------------------
// Creates the pipe through which a launcher relays to its worker: a name of
// its own (baseName, the process id and a random part), one instance, the
// first of that name (FILE_FLAG_FIRST_PIPE_INSTANCE: nobody can have made it
// before), open to the user alone. The launcher connects the worker's end
// itself before anyone else can: *workerEnd is that end, overlapped,
// inheritable, for the worker's standard input (and named to it by the
// environment, see OpenRelayPipe). Returns the launcher's end, synchronous
// and write-only, or INVALID_HANDLE_VALUE.
HANDLE CreateRelayPipe(const std::string& baseName, HANDLE* workerEnd);
// Launcher: waits until the worker has the pipe. Here the worker's end was
// connected when it was made, so nothing waits: TRUE.
BOOL ConnectRelayPipe(HANDLE pipe);
// Launcher: ends the relay once the worker has read everything in the pipe
// (a close alone may leave the worker's pending read waiting).
void CloseRelayPipe(HANDLE pipe);
// Worker: the relay end its launcher handed over (the handle the
// environment names, inherited), taken once; INVALID_HANDLE_VALUE when no
// launcher started this process.
HANDLE OpenRelayPipe(const std::string& baseName);

// commandLine null: the new process counts one argument, its own path.
BOOL CreateProcessW(const std::string& applicationName, wchar_t* commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void* environment, const wchar_t* currentDirectory,
                    STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation);
