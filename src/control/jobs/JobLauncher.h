// Starts kestrix-job for one request and carries its progress lines back.
//
// The request goes to the job process as its stdin, an unlinked temporary
// file written completely before the process has it, so nothing the host does
// afterwards (including dying) can cut it short. After a job the next job's
// process is started ahead and waits for its file, which the host hands it
// over a socket; when that process has gone (it ends by itself after ten
// minutes without a job), a fresh one is started. The process runs in a
// session of its own (setsid). A reader thread takes its
// progress lines and hands each to the JobEventQueue, which wakes the
// control's window; the window then fires the events on the main thread.
#pragma once

#include <json/json.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "control/base/JobLine.h"  // JobEventQueue

// Starts the job process for request. False with a message when it cannot be
// started; otherwise its lines, and a final "done" line even when the process
// dies without one, arrive in queue.
bool LaunchJob(const Json::Value& request, std::shared_ptr<JobEventQueue> queue, std::string* error);

// The hand-over of a request file to a process started ahead: the host's
// end, and the process's end (the descriptor, or -1 when the socket closed
// without one).
bool SendRequestFile(int socket, int fd);
int ReceiveRequestFile(int socket);

// The job process started ahead for the next job (0 when none waits), and
// letting it go without a job: the host's end of its socket closes, and the
// process ends by itself, as it does when the host ends. Returns its pid,
// which the caller reaps. (For tests.)
pid_t ReadyJobProcess();
pid_t ReleaseReadyJob();
