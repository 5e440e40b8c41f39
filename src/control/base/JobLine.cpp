#include "control/base/JobLine.h"

bool IsFinalJobState(const std::string& state) {
  return state == "canceled" || state == "aborted" || state == "completed";
}

std::string DescribeJobState(const std::string& state, int position) {
  if (state == "pending")
    return position > 0 ? "Waiting in the queue (place " + std::to_string(position) + ")" : "Waiting in the queue";
  if (state == "held") return "Held in the queue";
  if (state == "processing") return "Printing";
  if (state == "stopped") return "Printer stopped";
  if (state == "completed") return "Completed";
  if (state == "canceled") return "Canceled";
  if (state == "aborted") return "Aborted by the system";
  return state;
}

#include "platform/MessageLoop.h"

JobLine::Kind JobLine::KindOf(const Json::Value& line) {
  const Json::Value* kind = line.isObject() ? line.find("kind", "kind" + 4) : nullptr;
  if (!kind || !kind->isString()) return Kind::Other;
  const std::string& k = kind->asString();
  if (k == "state") return Kind::State;
  if (k == "message") return Kind::Message;
  if (k == "released") return Kind::Released;
  if (k == "done") return Kind::Done;
  return Kind::Other;
}

Json::Value JobLine::State(const Json::Value& record) {
  Json::Value line(Json::objectValue);
  line["kind"] = "state";
  line["job"] = record;
  return line;
}

Json::Value JobLine::Message(const std::string& type, const std::string& code, const std::string& text,
                             const Json::Value& id) {
  Json::Value line(Json::objectValue);
  line["kind"] = "message";
  line["message"]["type"] = type;
  line["message"]["code"] = code;
  line["message"]["message"] = text;
  line["message"]["id"] = id;
  return line;
}

Json::Value JobLine::Released(const Json::Value& id) {
  Json::Value line(Json::objectValue);
  line["kind"] = "released";
  line["id"] = id;
  return line;
}

Json::Value JobLine::Done(bool success, Json::Value result) {
  Json::Value line(Json::objectValue);
  line["kind"] = "done";
  line["status"] = success ? "success" : "error";
  line["result"] = std::move(result);
  return line;
}

Json::Value JobLine::Failed(const Json::Value& request, const std::string& text) {
  Json::Value result(Json::objectValue);
  result["type"] = request["type"];
  result["id"] = request["id"];
  result["jobId"] = 0;
  result["message"] = text;
  return Done(false, std::move(result));
}

void JobEventQueue::Push(Json::Value line) {
  {
    std::lock_guard lock(m_mutex);
    m_lines.push_back(std::move(line));
  }
  PostMessageW(m_window, m_message, 0, 0);  // fails harmlessly once the window is gone
}

std::deque<Json::Value> JobEventQueue::TakeAll() {
  std::lock_guard lock(m_mutex);
  std::deque<Json::Value> lines;
  lines.swap(m_lines);
  return lines;
}
