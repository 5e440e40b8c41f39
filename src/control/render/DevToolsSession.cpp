#include "control/render/DevToolsSession.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "control/formats/Base64.h"

namespace {
bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}
}  // namespace

std::string CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  return Json::writeString(writer, value);
}

void DevToolsSession::OpenContextAsync(const std::shared_ptr<OpeningContext>& opening) {
  if (!opening->contextId.empty()) opening->step = 2;
  OpenStep(opening, Json::Value());
}

bool DevToolsSession::FinishContext(const std::shared_ptr<OpeningContext>& opening, std::string* error) {
  while (!opening->done) {
    Json::Value message;
    if (!ReadMessage(&message, error)) {
      opening->done = true;
      opening->error = *error + " (opening a browser context)";
    } else {
      Dispatch(message);
    }
  }
  if (opening->error.empty()) return true;
  return Fail(error, opening->error);
}

bool DevToolsSession::OpenContext(const std::string& proxy, std::string* contextId, std::string* session,
                                  std::string* error) {
  auto opening = std::make_shared<OpeningContext>();
  opening->proxy = proxy;
  OpenContextAsync(opening);
  const bool ok = FinishContext(opening, error);
  *contextId = opening->contextId;
  *session = opening->session;
  return ok;
}

void DevToolsSession::ServeDocument(const std::string& url, const std::string& html) {
  m_documentUrl = url;
  m_documentBody = Base64Encode(html);
}

bool DevToolsSession::CallAsync(const std::string& method, const Json::Value& params, const std::string& session,
                                std::function<void(const Json::Value&)> then, std::string* error) {
  int id = 0;
  if (!Send(method, params, session, &id, error)) return false;
  m_then[id] = std::move(then);
  return true;
}

bool DevToolsSession::Pump(std::string* error) {
  Json::Value message;
  if (!ReadMessage(&message, error)) return false;
  Dispatch(message);
  return true;
}

bool DevToolsSession::Call(const std::string& method, const Json::Value& params, const std::string& session,
                           Json::Value* result, std::string* error) {
  int id = 0;
  if (!Send(method, params, session, &id, error)) return false;
  for (;;) {
    Json::Value message;
    if (!ReadMessage(&message, error)) return Fail(error, *error + " (waiting for " + method + ")");
    if (message.isMember("id") && message["id"].isInt() && message["id"].asInt() == id) {
      if (message.isMember("error"))
        return Fail(error, method + " failed: " + message["error"].get("message", "").asString());
      if (result) *result = message["result"];
      return true;
    }
    Dispatch(message);
  }
}

bool DevToolsSession::WaitEvent(const std::string& method, const std::string& session, Json::Value* event,
                                std::string* error) {
  for (;;) {
    for (auto it = m_events.begin(); it != m_events.end(); ++it) {
      if ((*it)["method"].asString() == method && (*it).get("sessionId", "").asString() == session) {
        if (event) *event = *it;
        m_events.erase(it);
        return true;
      }
    }
    Json::Value message;
    if (!ReadMessage(&message, error)) return Fail(error, *error + " (waiting for " + method + ")");
    Dispatch(message);
  }
}

bool DevToolsSession::Send(const std::string& method, const Json::Value& params, const std::string& session, int* id,
                           std::string* error) {
  Json::Value message(Json::objectValue);
  message["id"] = *id = m_nextId++;
  message["method"] = method;
  if (!params.isNull()) message["params"] = params;
  if (!session.empty()) message["sessionId"] = session;
  std::string text = CompactJson(message);
  text.push_back('\0');
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(m_out, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(error, "chromium stopped reading commands");
    done += static_cast<size_t>(n);
  }
  return true;
}

bool DevToolsSession::ReadMessage(Json::Value* message, std::string* error) {
  for (;;) {
    size_t end = m_buffer.find('\0');
    if (end != std::string::npos) {
      std::string text = m_buffer.substr(0, end);
      m_buffer.erase(0, end + 1);
      Json::CharReaderBuilder builder;
      std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
      std::string errors;
      try {
        if (reader->parse(text.data(), text.data() + text.size(), message, &errors) && message->isObject())
          return true;
      } catch (const std::exception&) {
      }
      continue;  // not a message we can read: skip it
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline.load() - Clock::now()).count();
    if (left <= 0) return Fail(error, "chromium did not finish in time");
    pollfd p{m_in, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char chunk[65536];
    ssize_t n = read(m_in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(error, "chromium ended unexpectedly");
    m_buffer.append(chunk, static_cast<size_t>(n));
    if (m_buffer.size() > (size_t(768) << 20)) return Fail(error, "chromium sent an oversized message");
  }
}

void DevToolsSession::Dispatch(const Json::Value& message) {
  if (message.isMember("method")) return HandleEvent(message);
  if (!message["id"].isInt()) return;
  auto then = m_then.find(message["id"].asInt());
  if (then == m_then.end()) return;
  auto run = std::move(then->second);
  m_then.erase(then);
  run(message);
}

void DevToolsSession::OpenStep(const std::shared_ptr<OpeningContext>& opening, const Json::Value& reply) {
  static const char* const kSteps[] = {"Target.createBrowserContext", "Browser.setDownloadBehavior",
                                       "Target.createTarget", "Target.attachToTarget"};
  if (reply.isObject() && reply.isMember("error")) {
    opening->error = std::string(kSteps[opening->step - 1]) + " failed: " + reply["error"].get("message", "").asString();
    opening->done = true;
    return;
  }
  const Json::Value& result = reply.isObject() ? reply["result"] : Json::Value::nullSingleton();
  Json::Value params(Json::objectValue);
  switch (opening->step) {
    case 0:
      params["proxyServer"] = opening->proxy;
      params["proxyBypassList"] = "<-loopback>";
      params["disposeOnDetach"] = true;
      break;
    case 1:
      opening->contextId = result["browserContextId"].asString();
      params["behavior"] = "deny";
      params["browserContextId"] = opening->contextId;
      break;
    case 2:
      params["url"] = "about:blank";
      params["browserContextId"] = opening->contextId;
      break;
    case 3:
      opening->targetId = result["targetId"].asString();
      params["targetId"] = result["targetId"];
      params["flatten"] = true;
      break;
    default:
      opening->session = result["sessionId"].asString();
      if (opening->session.empty()) opening->error = "chromium attached to no page";
      opening->done = true;
      return;
  }
  std::string error;
  const char* method = kSteps[opening->step++];
  if (!CallAsync(method, params, "", [this, opening](const Json::Value& m) { OpenStep(opening, m); }, &error)) {
    opening->error = error;
    opening->done = true;
  }
}

void DevToolsSession::HandleEvent(const Json::Value& message) {
  if (!message["method"].isString()) return;
  const std::string method = message["method"].asString();
  if (method == "Fetch.requestPaused" && message["params"].isObject() && message["params"]["request"].isObject()) {
    const Json::Value& params = message["params"];
    Json::Value reply(Json::objectValue);
    reply["requestId"] = params["requestId"];
    std::string session = message.get("sessionId", "").asString();
    std::string ignored;
    int id = 0;
    if (params["request"]["url"].asString() == m_documentUrl && !m_documentBody.empty()) {
      reply["responseCode"] = 200;
      Json::Value header(Json::objectValue);
      header["name"] = "Content-Type";
      header["value"] = "text/html; charset=utf-8";
      reply["responseHeaders"].append(header);
      reply["body"] = m_documentBody;
      Send("Fetch.fulfillRequest", reply, session, &id, &ignored);
    } else {
      Send("Fetch.continueRequest", reply, session, &id, &ignored);
    }
    return;
  }
  m_events.push_back(message);
  if (m_events.size() > 1000) m_events.pop_front();  // events nobody waits for
}
