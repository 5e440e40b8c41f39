// The warm renderer: one process per user that keeps rendering browsers
// running between jobs (RenderPool) and renders for the job processes that
// ask it over a Unix socket in a folder only the user can open.
//
// It is started by a control on its first rendering job (`kestrix-job
// --render-service`, in a session of its own, so that it outlives a host the
// browser kills) and ends by itself: once no host it has served is alive any
// more and nothing is rendering, or once it has rendered nothing for the idle
// time. A job process that cannot reach it renders with a browser of its own,
// as before. Jobs still run in their own processes; only the browser is shared.
//
// Protocol, one request per connection: frames of a 4-byte little-endian
// length and that many bytes. The client sends one JSON frame:
//   {"kind": "render", "hostPid": 1234, "request": {...RenderRequestToJson}}
//   {"kind": "status"}
// The service answers one JSON frame, {"ok": true} or {"ok": false, "error",
// "code"}, and for a render that succeeded a second frame with the bytes.
// Status: {"ok": true, "browsers", "busy", "started", "replaced", "sites", "rendering",
// "memoryKb", "processGroups", "pid"}. SIGTERM ends it in order.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "control/render/ChromiumRenderer.h"
#include "control/render/RenderPool.h"

struct RenderServiceOptions {
  std::string socketPath;
  int browsers = 2;                 // one per job that may render at once
  int idleSeconds = 120;            // ends after this long without a render
  std::vector<int> hostPids;        // hosts known from the start
  BrowserFactory factory;           // how browsers are started
  std::string executable;           // the browser it starts; jobs that would use another render themselves
};

// Runs the service until it ends by its rules; 0, or 1 when it could not
// start (another one runs already for this socket: 0 too).
int RunRenderService(const RenderServiceOptions& options);

// ---- for job processes and controls ------------------------------------------------

// The folder of the service's socket: $KESTRIX_RENDER_DIR, else
// $XDG_RUNTIME_DIR/kestrix, else /tmp/kestrix-<uid>; created 0700 and refused
// ("" with a message) when it exists but is not the user's own and closed.
std::string RenderServiceFolder(std::string* error = nullptr);
std::string RenderServiceSocket();

Json::Value RenderRequestToJson(const RenderRequest& request);
RenderRequest RenderRequestFromJson(const Json::Value& value);

enum class WarmOutcome { Rendered, Failed, Unavailable };
// Renders through the service. Unavailable (nothing was rendered, the caller
// renders itself) when no service answers within waitMs; Failed with the
// service's message and code when the page could not be rendered.
WarmOutcome RenderWithService(const RenderRequest& request, int hostPid, int waitMs, std::string* output,
                              std::string* error, std::string* code);

// The service's status (RenderServiceOptions above); false when none answers.
bool RenderServiceStatus(Json::Value* status);

// For the control: starts the service unless one answers already. False with
// a message when it cannot be started. Returns at once (the job processes
// wait for the socket).
bool EnsureRenderService(const std::string& jobExecutable, int browsers, int idleSeconds, std::string* error);

// For the control, at a job's start: when the job renders and control.json
// does not turn the warm renderer off ({"renderer": {"warm": false}}), makes
// sure the service runs and marks the request to use it ("warm", "hostPid").
// browsers: how many jobs may render at once. Idle time: {"renderer":
// {"idleSeconds": 120}} (10 to 3600).
void PrepareWarmRendering(Json::Value* request, int browsers);

// kestrix-job --render-service --socket PATH [--browsers N] [--idle S] [--host-pid P]...:
// starts the service (this program again, with --serving 1, in a session of
// its own) and ends at once; with --serving 1 it is the service, with
// Chromium browsers.
int RenderServiceMain(int argc, char** argv);

// Frames of the wire's codec (framing/FrameCodec.h) on the service's socket
// (exposed for the tests): false on a closed peer, a frame larger than
// maxBytes or the deadline in milliseconds passing.
bool WriteFrame(int fd, const std::string& bytes, int timeoutMs);
bool ReadFrame(int fd, std::string* bytes, size_t maxBytes, int timeoutMs);
