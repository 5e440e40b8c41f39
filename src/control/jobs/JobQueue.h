// How many jobs of a page run at once, and what happens to the rest.
//
// A job renders (a whole browser with its helper processes) and hands its
// document to the print scheduler; that is the costly part, and at most
// maxRunning jobs do it at once. Later jobs wait in order and report a
// "queued" state. Once a job is with the print scheduler it only follows its
// progress (one small process polling) and gives up its place; followed jobs
// count against the same bound as waiting ones, so a page cannot gather an
// unbounded number of processes either way. Waiting jobs are held in memory
// (their HTML or data included), so their bytes have a bound too. Beyond
// either bound a job is refused. The default lets a page print a roll of 100
// labels at once: they all queue, none is refused.
// Nothing here does I/O: the control asks, and starts what it is told.
#pragma once

#include <json/json.h>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

// The limits, from control.json ("maxConcurrentJobs", "maxQueuedJobs",
// "jobTimeLimit", "followTimeLimit"); out-of-range or missing values take the
// defaults.
struct JobLimits {
  int maxRunning = 2;          // 1 to 16
  int maxWaiting = 100;        // 0 to 1000: queued plus followed (per host, and followed per user)
  size_t maxWaitingBytes = size_t(256) << 20;  // what the queued requests hold
  int timeLimitSeconds = 300;  // 10 to 3600: rendering and handing to the scheduler
  int followLimitSeconds = 600;  // 0 to 86400: following a job at the scheduler
  static JobLimits FromConfig(const Json::Value& config);
  // The seconds a job that asks for `asked` is followed: never past the limit.
  double FollowSeconds(double asked) const;
};

class JobQueue {
 public:
  explicit JobQueue(JobLimits limits) : m_limits(limits) {}

  enum class Admission { Start, Queued, Refused, RefusedBytes };
  // A new job of about `bytes` (what its request holds): start it now, or
  // queue it (*position: 1 for the next to start), or refuse it (too many
  // jobs, or too many bytes waiting). Jobs start in the order they were admitted.
  Admission Admit(const std::string& id, size_t* position, size_t bytes = 0);
  // The job is with the print scheduler and only follows it: its place goes
  // to the next job.
  void Released(const std::string& id);
  // The job has ended (or never started); unknown ids are ignored.
  void Finished(const std::string& id);
  // Queued jobs that may start now, oldest first; they count as running.
  std::vector<std::string> TakeStartable();

  size_t Running() const { return m_running.size(); }
  size_t Queued() const { return m_queued.size(); }
  size_t QueuedBytes() const { return m_queuedBytes; }
  // The waiting jobs, next to start first.
  std::vector<std::string> QueuedIds() const { return {m_queued.begin(), m_queued.end()}; }
  const JobLimits& Limits() const { return m_limits; }
  // New limits apply from the next decision on; nothing running is stopped.
  void SetLimits(JobLimits limits) { m_limits = limits; }

 private:
  void Unqueued(const std::string& id);

  JobLimits m_limits;
  std::set<std::string> m_running, m_following;
  std::deque<std::string> m_queued;
  std::map<std::string, size_t> m_bytes;  // of the queued jobs
  size_t m_queuedBytes = 0;
};
