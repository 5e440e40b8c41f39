// In the host's own process (the bootstrap page on the browser stand-in, the
// fake control behind it, as the fuzz targets run): what one long session
// does to the value bridge and the page's script engine.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "bridge/ScriptValueBridge.h"
#include "support/FuzzHost.h"

namespace {

// Every member name a page sends in a session takes a place in the script
// engine's name table. A session that has sent a million distinct names
// (objects keyed by record ids, over a long day) must still hand the
// control every member of the next object.
TEST(LongSession, ObjectsKeepTheirMembersAfterAMillionDistinctMemberNames) {
  fuzz::FuzzHost& host = fuzz::FuzzHost::Get();
  ScriptValueBridge bridge;
  bridge.SetScriptContext(host.Script());
  auto roundTrip = [&](const Json::Value& value) {
    VARIANT v = bridge.JsonToVariant(value);
    Json::Value back = bridge.VariantToJson(v);
    VariantClear(&v);
    return back;
  };
  for (int batch = 0; batch < 1000; ++batch) {
    Json::Value object(Json::objectValue);
    for (int i = 0; i < 1000; ++i) object["k" + std::to_string(batch * 1000 + i)] = i;
    Json::Value back = roundTrip(object);
    ASSERT_EQ(back.size(), object.size()) << "members lost after " << batch * 1000 << " distinct names";
  }
  Json::Value job(Json::objectValue);
  job["printer"] = "Fake Printer A";
  job["copies"] = 2;
  job["a-name-never-seen-before"] = true;
  Json::Value back = roundTrip(job);
  EXPECT_EQ(back.size(), 3u) << Json::FastWriter().write(back);
  EXPECT_EQ(back["a-name-never-seen-before"], Json::Value(true));
}

}  // namespace
