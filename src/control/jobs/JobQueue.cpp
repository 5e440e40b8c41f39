#include "control/jobs/JobQueue.h"

#include <algorithm>

namespace {
int Clamped(const Json::Value& value, int low, int high, int fallback) {
  if (!value.isNumeric()) return fallback;
  double d = value.asDouble();
  return d >= low && d <= high ? static_cast<int>(d) : fallback;
}
}  // namespace

JobLimits JobLimits::FromConfig(const Json::Value& config) {
  JobLimits limits;
  if (!config.isObject()) return limits;
  limits.maxRunning = Clamped(config["maxConcurrentJobs"], 1, 16, limits.maxRunning);
  limits.maxWaiting = Clamped(config["maxQueuedJobs"], 0, 1000, limits.maxWaiting);
  limits.timeLimitSeconds = Clamped(config["jobTimeLimit"], 10, 3600, limits.timeLimitSeconds);
  limits.followLimitSeconds = Clamped(config["followTimeLimit"], 0, 86400, limits.followLimitSeconds);
  return limits;
}

double JobLimits::FollowSeconds(double asked) const {
  return std::clamp(asked, 0.0, static_cast<double>(followLimitSeconds));
}

JobQueue::Admission JobQueue::Admit(const std::string& id, size_t* position, size_t bytes) {
  if (position) *position = 0;
  if (m_queued.empty() && m_running.size() < static_cast<size_t>(m_limits.maxRunning)) {
    m_running.insert(id);
    return Admission::Start;
  }
  if (m_queued.size() + m_following.size() >= static_cast<size_t>(m_limits.maxWaiting)) return Admission::Refused;
  if (bytes > m_limits.maxWaitingBytes - std::min(m_queuedBytes, m_limits.maxWaitingBytes))
    return Admission::RefusedBytes;
  m_bytes[id] = bytes;
  m_queuedBytes += bytes;
  m_queued.push_back(id);
  if (position) *position = m_queued.size();
  return Admission::Queued;
}

void JobQueue::Released(const std::string& id) {
  if (m_running.erase(id)) m_following.insert(id);
}

void JobQueue::Finished(const std::string& id) {
  m_running.erase(id);
  m_following.erase(id);
  m_queued.erase(std::remove(m_queued.begin(), m_queued.end(), id), m_queued.end());
  Unqueued(id);
}

void JobQueue::Unqueued(const std::string& id) {
  auto it = m_bytes.find(id);
  if (it == m_bytes.end()) return;
  m_queuedBytes -= it->second;
  m_bytes.erase(it);
}

std::vector<std::string> JobQueue::TakeStartable() {
  std::vector<std::string> start;
  while (!m_queued.empty() && m_running.size() < static_cast<size_t>(m_limits.maxRunning)) {
    m_running.insert(m_queued.front());
    Unqueued(m_queued.front());
    start.push_back(m_queued.front());
    m_queued.pop_front();
  }
  return start;
}
