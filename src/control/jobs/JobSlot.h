// One of the user's job places, shared by every host of the same user: the
// job process holds an flock on one of N files in the user's private folder
// ($TMPDIR/kestrix-<uid>/job-slot-<i>) while it renders and hands its document
// to the print scheduler. The kernel drops the lock when the process ends,
// however it ends, so a place is never lost. A job that follows its document
// at the scheduler holds a follower's place instead (follow-slot-<i>), so the
// user's followers are bounded across hosts too.
#pragma once

#include <functional>
#include <string>

class JobSlot {
 public:
  // kind: the files' name before the number ("job-slot-", "follow-slot-").
  explicit JobSlot(std::string kind = "job-slot-") : m_kind(std::move(kind)) {}
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
  std::string m_kind;
  int m_fd = -1;
};
