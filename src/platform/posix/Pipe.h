// The relay pipe and processes, in the shape of the Windows calls the launcher
// and the relay worker make.
//
// A named pipe is a FIFO in a private per-user folder (mode 0700, owned by the
// user, never a link). Its file name carries the launcher's process id, so
// several launchers can run at once: the launcher creates "<name>.<own pid>",
// the worker it starts opens "<name>.<parent pid>".
//
// Overlapped reads keep their Windows shape: ReadFileEx queues one read on the
// calling thread; an alertable SleepEx performs it and calls the completion
// routine on that same thread.
#pragma once

#include <string>

#include "platform/Kernel.h"

struct OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
using LPOVERLAPPED_COMPLETION_ROUTINE = void(WINAPI*)(DWORD errorCode, DWORD bytesTransferred, OVERLAPPED* overlapped);

constexpr DWORD PIPE_ACCESS_DUPLEX = 0x3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD PIPE_TYPE_MESSAGE = 0x4;
constexpr DWORD PIPE_READMODE_MESSAGE = 0x2;
constexpr DWORD PIPE_WAIT = 0x0;
constexpr DWORD FILE_READ_DATA = 0x1;
constexpr DWORD OPEN_EXISTING = 3;

// The folder that holds the pipes of this user; created 0700 on first use.
// Empty when it cannot be made safe (exists with another owner, mode or as a link).
std::string PrivatePipeFolder();
// Where the pipe of that name and launcher process lives.
std::string PipePath(const std::string& pipeName, long launcherPid);

// Launcher side. Creates the FIFO; INVALID_HANDLE_VALUE on failure.
HANDLE CreateNamedPipeW(const std::string& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                        DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeoutMs, void* securityAttributes);
// Waits until a reader has opened the pipe (bounded: FALSE after 30 s without one).
BOOL ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped);

// Worker side: opens the pipe that the parent process (the launcher) created.
HANDLE CreateFileW(const std::string& name, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFileEx(HANDLE file, void* buffer, DWORD n, OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine);
// Alertable: runs the queued read and its completion routine, returns WAIT_IO_COMPLETION.
// With nothing queued it sleeps for the time given (forever for INFINITE).
DWORD SleepEx(DWORD ms, BOOL alertable);

// The launcher's relay, as on Windows: CreateRelayPipe makes the pipe of
// this launcher (its file name carries the launcher's pid, so *workerEnd is
// null: the worker opens it by name), ConnectRelayPipe waits for the worker
// (ConnectNamedPipe, bounded), OpenRelayPipe opens it in the worker.
HANDLE CreateRelayPipe(const std::string& baseName, HANDLE* workerEnd);
BOOL ConnectRelayPipe(HANDLE pipe);
void CloseRelayPipe(HANDLE pipe);  // CloseHandle: the reader then finds the end
HANDLE OpenRelayPipe(const std::string& baseName);

// ---- Processes ------------------------------------------------------------------
constexpr DWORD STARTF_USESHOWWINDOW = 0x1;
constexpr DWORD STARTF_USESTDHANDLES = 0x100;
constexpr WORD SW_HIDE = 0;

struct STARTUPINFOW {
  DWORD cb;
  DWORD dwFlags;
  WORD wShowWindow;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

void GetStartupInfoW(STARTUPINFOW* info);
// Starts applicationName with argv = [applicationName] only. With
// STARTF_USESTDHANDLES the child's fds 0, 1, 2 come from the given handles
// (a pipe handle as standard input gives the child /dev/null: the worker
// opens the pipe by name).
BOOL CreateProcessW(const std::string& applicationName, void* commandLine, void* processAttributes,
                    void* threadAttributes, BOOL inheritHandles, DWORD creationFlags, void* environment,
                    void* currentDirectory, STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation);
