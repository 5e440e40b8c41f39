// The concrete kernel objects behind HANDLE; private to the platform layer.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/Kernel.h"

struct EventObject : KernelObject {
  std::mutex mu;
  std::condition_variable cv;
  bool manualReset = false;
  bool signalled = false;
};

struct ThreadObject : KernelObject {};

struct FileObject : KernelObject {
  explicit FileObject(int f) : fd(f) {}
  ~FileObject() override;
  int fd;
};

// fds 0, 1, 2: never closed through CloseHandle.
struct StdHandleObject : FileObject {
  explicit StdHandleObject(int f) : FileObject(f) {}
  ~StdHandleObject() override { fd = -1; }
};

// The launcher's end of the relay FIFO; the FIFO is opened for writing by ConnectNamedPipe.
struct PipeServerObject : FileObject {
  PipeServerObject(std::string p) : FileObject(-1), path(std::move(p)) {}
  ~PipeServerObject() override;
  std::string path;
};

struct ProcessObject : KernelObject {
  explicit ProcessObject(pid_t p) : pid(p) {}
  DWORD Wait(DWORD timeoutMs);
  pid_t pid;
  bool reaped = false;
  std::mutex mu;
};
