// Kernel objects and process facilities: events, threads, child processes,
// files and the relay pipe, version query, paths, debugger output.
// Handles are process-local; names given to events are kept for the record only.
#pragma once

#include <string>

#include "platform/WinTypes.h"

struct KernelObject {
  virtual ~KernelObject() = default;
};

// ---- Events and waiting ---------------------------------------------------------
HANDLE CreateEventW(void* securityAttributes, BOOL manualReset, BOOL initialState, const wchar_t* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Events: WAIT_OBJECT_0 when signalled (an auto-reset event is reset by the wait).
// Processes: WAIT_OBJECT_0 when the process has ended.
DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs);
BOOL CloseHandle(HANDLE handle);

// ---- Threads --------------------------------------------------------------------
using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(void* parameter);
// The thread runs detached; the returned handle only names it.
HANDLE CreateThread(void* securityAttributes, size_t stackSize, LPTHREAD_START_ROUTINE start, void* parameter,
                    DWORD creationFlags, DWORD* threadId);

DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Version ----------------------------------------------------------------------
struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
// Reports a Windows-like version (10.0). A program can replace the major
// number before it starts (SetReportedMajorVersion), which a test build uses
// to run the relay mode that only exists on major version 5.
BOOL GetVersionExW(OSVERSIONINFOW* info);
void SetReportedMajorVersion(DWORD major);

// ---- Paths and files --------------------------------------------------------------
// $TMPDIR (when set and absolute) or /tmp/, always with a trailing slash.
std::string GetTempPathA();
// The running executable (/proc/self/exe resolved).
std::string GetModuleFileNameA();
// Birth time of a file (statx), else its modification time, as a FILETIME
// (100 ns intervals since 1601-01-01). False when the file cannot be read.
bool GetFileCreationFileTime(const std::string& path, FILETIME* out);

// ---- Standard handles and synchronous I/O ------------------------------------------
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
HANDLE GetStdHandle(DWORD which);
// The file descriptor behind a file or pipe handle, -1 for anything else.
int HandleToFd(HANDLE handle);
// Reads up to n bytes. ERROR_BROKEN_PIPE at end of input (like a closed pipe).
BOOL ReadFile(HANDLE file, void* buffer, DWORD n, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD n, DWORD* written, void* overlapped);

// ---- Debugger output -----------------------------------------------------------------
// Written to stderr only while a debugger (tracer) is attached; dropped otherwise.
void OutputDebugStringA(const char* text);
// Test hook: capture every debugger output text regardless of a tracer.
using DebugOutputSink = void (*)(const char* text);
void SetDebugOutputSink(DebugOutputSink sink);
