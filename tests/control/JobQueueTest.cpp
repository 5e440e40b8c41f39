// The job queue decides without I/O: tested directly.
#include <gtest/gtest.h>

#include "control/jobs/JobQueue.h"

TEST(JobQueue, RunsTheLimitQueuesInOrderAndRefusesBeyondTheBound) {
  JobLimits limits;
  limits.maxRunning = 2;
  limits.maxWaiting = 3;
  JobQueue queue(limits);
  size_t position = 99;
  EXPECT_EQ(queue.Admit("a", &position), JobQueue::Admission::Start);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(queue.Admit("b", &position), JobQueue::Admission::Start);
  EXPECT_EQ(queue.Admit("c", &position), JobQueue::Admission::Queued);
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(queue.Admit("d", &position), JobQueue::Admission::Queued);
  EXPECT_EQ(position, 2u);
  // A place freed while nothing is taken yet: a newcomer does not jump the queue.
  queue.Finished("a");
  EXPECT_EQ(queue.Admit("e", &position), JobQueue::Admission::Queued);
  EXPECT_EQ(position, 3u);
  EXPECT_EQ(queue.Admit("f", &position), JobQueue::Admission::Refused);
  EXPECT_EQ(queue.TakeStartable(), std::vector<std::string>{"c"});
  EXPECT_TRUE(queue.TakeStartable().empty());
  EXPECT_EQ(queue.QueuedIds(), (std::vector<std::string>{"d", "e"}));
  // A followed job gives up its place but still counts against the bound.
  queue.Released("b");
  EXPECT_EQ(queue.TakeStartable(), std::vector<std::string>{"d"});
  EXPECT_EQ(queue.Admit("g", &position), JobQueue::Admission::Queued);
  EXPECT_EQ(queue.Admit("h", &position), JobQueue::Admission::Refused);
  queue.Finished("b");
  queue.Finished("c");
  queue.Finished("d");
  queue.Finished("unknown");
  EXPECT_EQ(queue.TakeStartable(), (std::vector<std::string>{"e", "g"}));
  EXPECT_EQ(queue.Running(), 2u);
  EXPECT_EQ(queue.Queued(), 0u);
  // A queued job that is dropped never starts.
  EXPECT_EQ(queue.Admit("i", &position), JobQueue::Admission::Queued);
  queue.Finished("i");
  queue.Finished("e");
  EXPECT_TRUE(queue.TakeStartable().empty());

  // Waiting bytes are bounded too, and given back when a job starts or goes.
  limits.maxWaitingBytes = 100;
  JobQueue bytes(limits);
  EXPECT_EQ(bytes.Admit("a", &position, 500), JobQueue::Admission::Start) << "a job that starts does not wait";
  EXPECT_EQ(bytes.Admit("b", &position, 500), JobQueue::Admission::Start);
  EXPECT_EQ(bytes.Admit("c", &position, 101), JobQueue::Admission::RefusedBytes);
  EXPECT_EQ(bytes.Admit("c", &position, 60), JobQueue::Admission::Queued);
  EXPECT_EQ(bytes.Admit("d", &position, 60), JobQueue::Admission::RefusedBytes);
  bytes.Finished("a");
  EXPECT_EQ(bytes.TakeStartable(), std::vector<std::string>{"c"});
  EXPECT_EQ(bytes.Admit("d", &position, 100), JobQueue::Admission::Queued);
  bytes.Finished("d");
  EXPECT_EQ(bytes.QueuedBytes(), 0u);
}

TEST(JobQueue, LimitsComeFromControlJsonWithinBounds) {
  Json::Value config;
  config["maxConcurrentJobs"] = 4;
  config["maxQueuedJobs"] = 0;
  config["jobTimeLimit"] = 30;
  JobLimits limits = JobLimits::FromConfig(config);
  EXPECT_EQ(limits.maxRunning, 4);
  EXPECT_EQ(limits.maxWaiting, 0);
  EXPECT_EQ(limits.timeLimitSeconds, 30);
  EXPECT_EQ(limits.FollowSeconds(86400), 600) << "a job is followed 10 minutes unless the user says more";
  config["followTimeLimit"] = 7200;
  EXPECT_EQ(JobLimits::FromConfig(config).FollowSeconds(86400), 7200);
  config["maxConcurrentJobs"] = 0;
  config["maxQueuedJobs"] = "many";
  config["jobTimeLimit"] = 1e9;
  limits = JobLimits::FromConfig(config);
  EXPECT_EQ(limits.maxRunning, 2);
  EXPECT_EQ(limits.maxWaiting, 100) << "a roll of 100 labels from one page queues";
  EXPECT_EQ(limits.timeLimitSeconds, 300);
}
