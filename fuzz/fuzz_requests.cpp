// One incoming message text through the inbound gate and, when the gate
// posts it, through the command dispatcher into the control proxy, the value
// bridge and the fake printing control, as the host window's request handler
// runs it.
//
// Checked: the gate decides alike before and after readiness except for
// holding requests back (only "new" and "ping" pass early, nothing waits
// once ready, "exit" and drops do not depend on readiness); a request raises
// nothing but the errors the handler expects; it writes at most one reply
// (readBase64 may write pieces), and a reply carries the request's event
// name (bytes that are not text in the code page replaced); every frame
// written is well formed (FuzzHost); the gate's parsed request is the one
// jsoncpp's reader makes of the text.
//
// Input: the message text as it arrives on the wire (UTF-8).
#include <cstdint>
#include <string>

#include "browser/KPAxWindow.h"
#include "dispatch/CommandDispatcher.h"
#include "dispatch/CommandTable.h"
#include "platform/CodePage.h"
#include "platform/JsonText.h"
#include "support/FuzzHost.h"

namespace {

const char kTarget[] = "fuzz_requests";

bool MethodIs(const Json::Value& request, const char* name) {
  const Json::Value* m = request.find("method", "method" + sizeof "method" - 1);
  return m && m->isString() && m->asString() == name;
}

void CheckGate(const std::string& text, GateAction early, GateAction ready, const Json::Value& request) {
  using fuzz::Check;
  Check((early == GateAction::Drop) == (ready == GateAction::Drop), kTarget, "drop depends on readiness");
  Check((early == GateAction::Exit) == (ready == GateAction::Exit), kTarget, "exit depends on readiness");
  Check(ready != GateAction::WaitAndPost, kTarget, "a request waits although the control is ready");
  if (early == GateAction::Post)
    Check(MethodIs(request, "new") || MethodIs(request, "ping"), kTarget, "a request passed before readiness");
  if (early == GateAction::WaitAndPost)
    Check(!MethodIs(request, "new") && !MethodIs(request, "ping"), kTarget, "new or ping held back");
  if (ready == GateAction::Exit) Check(MethodIs(request, "exit"), kTarget, "exit without \"exit\"");
  if (ready != GateAction::Drop) Check(request.isObject(), kTarget, "a non-object was posted");
}

// The gate parses plain texts itself and leaves the rest to jsoncpp's reader:
// either way, what it accepts must be the reader's value, type for type.
void CheckAgainstReader(const std::string& text, GateAction action, const Json::Value& request) {
  Json::Value expected;
  bool parsed = false;
  try {
    parsed = Json::Reader().parse(text.data(), text.data() + text.size(), expected, true);
  } catch (const std::exception&) {
  }
  if (!parsed || !expected.isObject()) {
    fuzz::Check(action == GateAction::Drop, kTarget, "the gate accepted what the reader refuses");
    return;
  }
  fuzz::Check(action != GateAction::Drop, kTarget, "the gate dropped what the reader accepts");
  fuzz::Check(request == expected, kTarget, "the gate's value differs from the reader's");
}

// The members the gate's parse noted are the ones a lookup finds.
void CheckEnvelope(const Json::Value& request, const PlainJsonEnvelope& envelope) {
  if (!envelope.noted) return;
  fuzz::Check(request.isObject() && envelope.method == request.find("method", "method" + sizeof "method" - 1) &&
                  envelope.event == request.find("event", "event" + sizeof "event" - 1),
              kTarget, "a noted member is not the request's own");
}

// The event name the dispatcher reads, or "" when reading it fails.
std::string EventOf(const Json::Value& request) {
  try {
    return ReadEvent(request);
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzHost& host = fuzz::FuzzHost::Get();
  // As the reader hands it over: converted, cut at the first NUL.
  const std::string text = Utf8ToAnsi(std::string_view(reinterpret_cast<const char*>(data), size));

  Json::Value early, request;
  PlainJsonEnvelope envelope;
  GateAction beforeReady = ClassifyMessage(text, false, &early);
  GateAction afterReady = ClassifyMessage(text, true, &request, &envelope);
  CheckEnvelope(request, envelope);
  CheckGate(text, beforeReady, afterReady, request);
  CheckAgainstReader(text, afterReady, request);
  // Parsed again into the last input's request, as the gate parses into
  // handled requests: the same value must come out.
  static Json::Value previous;
  PlainJsonEnvelope againNoted;
  GateAction again = ClassifyMessage(text, true, &previous, &againNoted);
  CheckEnvelope(previous, againNoted);
  fuzz::Check(again == afterReady && (again == GateAction::Drop || previous == request), kTarget,
              "parsing into a handled request gave another value");
  if (!againNoted.small) previous = Json::Value();
  if (afterReady != GateAction::Post) return 0;

  // The host window's request handler: every error it expects is caught and
  // the request abandoned; anything else escaping is a fault.
  // The page of the host's "new" (a loopback page, which the built-in policy lets do
  // everything, so requests reach the control); decision files where nothing can
  // be written, so no input leaves a decision behind on the machine.
  CommandDispatcher dispatcher(&host.Proxy(), SiteGuard::Paths{"/dev/null/kx-policy.json", "/dev/null/kx-sites.json"});
  dispatcher.Guard().SetPage("http://127.0.0.1/page.html");
  bool abandoned = false;
  try {
    // As the host window hands it over: with the members the gate noted.
    if (envelope.noted)
      dispatcher.HandleRequest(request, CommandDispatcher::Envelope{envelope.method, envelope.event});
    else
      dispatcher.HandleRequest(request);
  } catch (const std::exception&) {
    abandoned = true;
  } catch (const KestrixNotFound&) {
    fuzz::Fail(kTarget, "the control was lost");
  }
  std::vector<Json::Value> frames = host.TakeFrames();
  if (abandoned) fuzz::Check(frames.empty(), kTarget, "an abandoned request wrote a reply");
  if (!MethodIs(request, "readBase64"))
    fuzz::Check(frames.size() <= 1, kTarget, "more than one reply to one request");
  const std::string event = EventOf(request);
  // The name as the reply can carry it (a lone surrogate escape decodes to
  // bytes that are not text).
  const std::string sent = TextToUtf8(event);
  for (const Json::Value& f : frames) {
    fuzz::Check(!event.empty(), kTarget, "a reply without an event name");
    fuzz::Check(f["event"].isString() && f["event"].asString() == sent, kTarget,
                "the reply's event name differs from the request's: " + Json::FastWriter().write(f) +
                    " for the request " + Json::FastWriter().write(request));
  }
  // Job events of print requests arrive through posted messages.
  host.Pump();
  host.TakeFrames();
  host.Forget();
  return 0;
}
