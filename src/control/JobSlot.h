// One of the user's job places, shared by every host of the same user: the
// job process holds an flock on one of N files in the user's private folder
// ($TMPDIR/kestrix-<uid>/job-slot-<i>) while it renders and hands its document
// to the print scheduler. The kernel drops the lock when the process ends,
// however it ends, so a place is never lost.
#pragma once

#include <functional>

class JobSlot {
 public:
  JobSlot() = default;
  ~JobSlot() { Release(); }
  JobSlot(const JobSlot&) = delete;
  JobSlot& operator=(const JobSlot&) = delete;

  // Takes a free place among slots, calling waiting() once if none is free at
  // first, and polling until one is or waitSeconds have passed. True when held
  // (also when the private folder cannot be used: then nothing is shared to
  // count with, and the control's own bound still holds).
  bool Acquire(int slots, int waitSeconds, const std::function<void()>& waiting);
  void Release();

 private:
  int m_fd = -1;
};
