// The four parameter kinds, row by row, with the exact error texts. The
// library's own conversions differ on most of these rows, so each row pins
// the host's rule.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "dispatch/ParamKinds.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, v)) << text;
  return v;
}

template <class F>
std::string ErrorOf(F read) {
  try {
    read();
  } catch (const Json::LogicError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(TextKind, ConvertsNullStringAndBoolean) {
  EXPECT_EQ(ReadTextParam(Json::Value()), "");
  EXPECT_EQ(ReadTextParam(Json::Value("HP LaserJet")), "HP LaserJet");
  EXPECT_EQ(ReadTextParam(Json::Value("")), "");
  EXPECT_EQ(ReadTextParam(Json::Value(true)), "true");
  EXPECT_EQ(ReadTextParam(Json::Value(false)), "false");
}

TEST(TextKind, RefusesNumbersArraysAndObjects) {
  // jsoncpp itself would give "42" and "3.7000000000000002" for the numbers.
  for (const char* text : {"42", "-1", "3000000000", "3.7", "[]", "[1]", "{}", "{\"a\":1}"}) {
    Json::Value v = Parse(text);
    EXPECT_EQ(ErrorOf([&] { ReadTextParam(v); }), "Type is not convertible to string") << text;
  }
}

TEST(FlagKind, FollowsEmptinessAndZero) {
  struct Row {
    const char* json;
    bool expected;
  } rows[] = {
      {"null", false},   {"\"\"", false}, {"\"x\"", true},  {"\"false\"", true}, {"true", true},
      {"false", false},  {"0", false},    {"7", true},      {"-7", true},        {"3000000000", true},
      {"0.0", false},    {"0.5", true},   {"[]", false},    {"[0]", true},       {"{}", false},
      {"{\"a\":0}", true},
  };
  for (const Row& row : rows) EXPECT_EQ(ReadFlagParam(Parse(std::string("[") + row.json + "]")[0]), row.expected)
      << row.json;
}

TEST(IntegerKind, ConvertsNullBooleansAndIntegers) {
  EXPECT_EQ(ReadIntegerParam(Json::Value()), 0);
  EXPECT_EQ(ReadIntegerParam(Json::Value(true)), 1);
  EXPECT_EQ(ReadIntegerParam(Json::Value(false)), 0);
  EXPECT_EQ(ReadIntegerParam(Parse("[12]")[0]), 12);
  EXPECT_EQ(ReadIntegerParam(Parse("[-2147483648]")[0]), INT32_MIN);
  EXPECT_EQ(ReadIntegerParam(Parse("[2147483647]")[0]), INT32_MAX);
}

TEST(IntegerKind, TruncatesRealsTowardZero) {
  EXPECT_EQ(ReadIntegerParam(Parse("[3.9]")[0]), 3);
  EXPECT_EQ(ReadIntegerParam(Parse("[-3.9]")[0]), -3);
  EXPECT_EQ(ReadIntegerParam(Parse("[2147483647.0]")[0]), INT32_MAX);
  EXPECT_EQ(ReadIntegerParam(Parse("[-2147483648.0]")[0]), INT32_MIN);
}

TEST(IntegerKind, RefusesWithTheTabledTexts) {
  struct Row {
    const char* json;
    const char* error;
  } rows[] = {
      {"\"12\"", "Type is not convertible to int"},
      {"\"\"", "Type is not convertible to int"},
      {"[1]", "Type is not convertible to int"},
      {"{}", "Type is not convertible to int"},
      // 2147483648 parses as an unsigned value; -2147483649 as a 64-bit signed one.
      {"2147483648", "integer out of signed integer range"},
      {"4294967296", "integer out of signed integer range"},
      {"-2147483649", "integer out of signed integer range"},
      {"3e10", "Real out of signed integer range"},
      {"-3e10", "Real out of signed integer range"},
      {"2147483647.5", "Real out of signed integer range"},
  };
  for (const Row& row : rows) {
    Json::Value v = Parse(std::string("[") + row.json + "]")[0];
    EXPECT_EQ(ErrorOf([&] { ReadIntegerParam(v); }), row.error) << row.json;
  }
}

TEST(ParamAt, ReadsByIndexAndTreatsTheRestAsNull) {
  Json::Value request = Parse(R"({"params":["a",2]})");
  EXPECT_EQ(ParamAt(request, 0), Json::Value("a"));
  EXPECT_EQ(ParamAt(request, 1).asInt(), 2);
  EXPECT_TRUE(ParamAt(request, 2).isNull());
  EXPECT_TRUE(ParamAt(Parse(R"({"params":{"0":"a"}})"), 0).isNull());
  EXPECT_TRUE(ParamAt(Parse(R"({"params":"a"})"), 0).isNull());
  EXPECT_TRUE(ParamAt(Parse(R"({})"), 0).isNull());
}

}  // namespace
