// The quick parse of plain request texts: what it takes must come out as
// jsoncpp's reader makes it (same members, same types), and what it declines
// must be left to the reader untouched.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "platform/JsonPlainParse.h"

namespace {

bool Plain(const std::string& text, Json::Value* out) { return ParsePlainJson(text.data(), text.data() + text.size(), out); }

Json::Value ByReader(const std::string& text) {
  Json::Value v;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text.data(), text.data() + text.size(), v, true)) << text;
  return v;
}

TEST(PlainJson, TakesPlainObjectsAndBuildsWhatTheReaderBuilds) {
  const std::string deepest = "{\"a\":" + std::string(kPlainJsonDepth - 1, '[') + "7" +
                              std::string(kPlainJsonDepth - 1, ']') + "}";
  for (const std::string& text : std::initializer_list<std::string>{
           R"({"method":"getVersion","event":"e17"})",
           " \t{\"method\" : \"new\",\r\n \"sender\":{\"tab\":{\"id\":1},\"url\":\"http://x/\"}} \n",
           R"({"a":[1,-2,0,-0,123456789,-999999999,true,false,null,"x",[],{}],"b":{},"c":""})",
           R"({"a":"\u00e9\u0041\n\t\"\\\/\b\f\r\u20AC\u0000z"})",
           R"({"a\u0062":1,"a\u0062":"last wins","method":1,"method":"last"})",
           "{\"\":1,\"raw\":\"\xc3\xa9 and \xff stay bytes\"}",
           "{}",
           deepest,
       }) {
    Json::Value plain;
    ASSERT_TRUE(Plain(text, &plain)) << text;
    EXPECT_EQ(plain, ByReader(text)) << text;  // == compares types too: 1 is not 1u, nor 1.0
  }
}

TEST(PlainJson, DeclinesEverythingElseAndLeavesNull) {
  const std::string tooDeep = "{\"a\":" + std::string(kPlainJsonDepth, '[') + std::string(kPlainJsonDepth, ']') + "}";
  for (const std::string& text : std::initializer_list<std::string>{
           // The reader accepts these, some in its own way: it must judge them.
           R"({"a":1234567890})", R"({"a":4294967296})", R"({"a":[66666666666666666666666666]})", R"({"a":1.5})", R"({"a":1e5})", R"({"a":01})",
           R"({"":1,})", R"({"a":1} trailing)", "{\"a\":1}//c", "/*c*/{\"a\":1}", "{\"a\":/*c*/1}",
           R"({"a":"\ud83d\ude00"})", "{\"a\":\"\x01\"}", "[1]", "\"x\"", "42", tooDeep,
           // Malformed: the reader refuses them.
           "", "{", R"({"a":1,})", R"({"a":[1,]})", R"({"a":-})", R"({"a":"\x"})", R"({"a":"\u12"})",
           R"({"a":truex})", R"({"a":tru})", R"({"a" 1})", R"({"a":1)", R"({"a":"x)", "{a:1}",
           R"({"a":"\ud83d"})",
       }) {
    Json::Value out(Json::objectValue);
    EXPECT_FALSE(Plain(text, &out)) << text;
    EXPECT_TRUE(out.isNull()) << text;
  }
}

TEST(PlainJson, AnObjectParsedIntoAgainEndsAsAFreshParseWould) {
  const char* texts[] = {
      R"({"method":"getVersion","event":"e1"})", R"({"event":"e2","method":"ping","event":"e3"})", R"({"method":"x"})", "{}",
      R"({"event":"e","params":[1,2],"z":{"a":1}})", R"({"method":"a","method":"b","q":1})",
      R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9})", R"({"a":1.5})", R"({"method":["x"]})",
  };
  for (const std::string before : texts)
    for (const std::string after : texts) {
      Json::Value reused, fresh;
      Plain(before, &reused);
      PlainJsonEnvelope envelope;
      bool taken = ParsePlainJson(after.data(), after.data() + after.size(), &reused, &envelope);
      EXPECT_EQ(taken, Plain(after, &fresh)) << before << " then " << after;
      EXPECT_EQ(reused, fresh) << before << " then " << after;
      // The noted members are the value's own, as a lookup finds them.
      EXPECT_EQ(envelope.noted, taken);
      if (taken) {
        EXPECT_EQ(envelope.method, reused.find("method", "method" + 6)) << before << " then " << after;
        EXPECT_EQ(envelope.event, reused.find("event", "event" + 5)) << before << " then " << after;
      }
    }
}

TEST(PlainJson, SmallMeansFlatShortAndFew) {
  auto small = [](const std::string& text) {
    Json::Value v;
    PlainJsonEnvelope envelope;
    EXPECT_TRUE(ParsePlainJson(text.data(), text.data() + text.size(), &v, &envelope)) << text;
    return envelope.small;
  };
  const std::string longest(kPlainJsonSmallText, 'x');
  EXPECT_TRUE(small(R"({"method":"getVersion","event":"e","n":1,"b":true,"z":null})"));
  EXPECT_TRUE(small("{\"" + longest + "\":\"" + longest + "\"}"));
  EXPECT_FALSE(small("{\"a\":\"" + longest + "x\"}"));
  EXPECT_FALSE(small("{\"" + longest + "x\":1}"));
  EXPECT_FALSE(small(R"({"method":"print","params":[]})"));
  EXPECT_FALSE(small(R"({"sender":{}})"));
  EXPECT_FALSE(small(R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9})"));
  EXPECT_TRUE(small(R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"h":9})"));
}

}  // namespace
