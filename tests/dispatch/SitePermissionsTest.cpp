// The capability table, origins, the policy file's shape and the order in
// which policy, remembered and per-process decisions count.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "dispatch/CommandTable.h"
#include "dispatch/SitePermissions.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
  return v;
}

Capabilities Needs(const std::string& method, const std::string& params = "[]") {
  return RequiredCapabilities(Parse(R"({"method":")" + method + R"(","params":)" + params + "}"));
}

TEST(CapabilityTable, OnlyQueriesAboutTheHostItselfNeedNothing) {
  // A row whose capabilities are 0 is free for every site: this names the free ones.
  std::set<std::string> free;
  for (const CommandRow& c : kCommands)
    if (Needs(std::string(c.name)) == 0) free.insert(std::string(c.name));
  EXPECT_EQ(free, (std::set<std::string>{"about", "getAbsoluteURL", "getVersion", "isExcelInstalled",
                                         "isImplemented", "isPrintableFileType"}));
  EXPECT_EQ(Needs("new"), 0u);
  EXPECT_EQ(Needs("ping"), 0u);
}

TEST(CapabilityTable, AMethodWithoutARowNeedsEverything) {
  // What is not a command (nor "new" or "ping") is refused, not free: siteCheck
  // of it tells the extension so.
  for (const char* unlisted : {"printLabels", "exit", "GetPrinters", "getVersion ", "siteDecide", ""})
    EXPECT_EQ(Needs(unlisted), kAllCapabilities) << unlisted;
  EXPECT_EQ(RequiredCapabilities(Parse(R"({"method":7})")), kAllCapabilities);
  EXPECT_EQ(RequiredCapabilities(Parse("[1]")), kAllCapabilities);
}

TEST(CapabilityTable, CommandsFallIntoTheGroupAPersonWouldExpect) {
  for (const char* c : {"print", "printDocument", "printTIFF", "getPrinters", "getPapers", "getPrinterStatus",
                        "setDefaultPrinter"})
    EXPECT_EQ(Needs(c), Capabilities(kCapPrinters)) << c;
  // A job that writes its document into the site's files writes files.
  for (const char* c : {"printToPDF", "printToImage", "exportAsImage"})
    EXPECT_EQ(Needs(c), Capabilities(kCapPrinters | kCapWriteFiles)) << c;
  // A document made of a file in the allowed folders is a copy of it: reading files.
  for (const char* job : {R"([{"file":"labels/a.pdf"}])", R"([{"url":"file:///srv/a.html"}])"})
    EXPECT_EQ(Needs("printToPDF", job), Capabilities(kCapPrinters | kCapWriteFiles | kCapReadFiles)) << job;
  EXPECT_EQ(Needs("printToImage", R"([{"url":"Https://x.example/","file":"","html":null}])"),
            Capabilities(kCapPrinters | kCapWriteFiles));
  // A preview is also opened with the desktop's program, as openFile does.
  EXPECT_EQ(Needs("printPreview"), Capabilities(kCapPrinters | kCapWriteFiles | kCapOpenFiles));
  EXPECT_EQ(CapabilityNamesText(kCapPrinters | kCapWriteFiles | kCapSettings),
            "\"printers\", \"writeFiles\" and \"settings\"");
  for (const char* c : {"readString", "readBase64", "readHTML", "copied"}) EXPECT_EQ(Needs(c), Capabilities(kCapReadFiles)) << c;
  for (const char* c : {"writeString", "writeBase64"}) EXPECT_EQ(Needs(c), Capabilities(kCapWriteFiles)) << c;
  EXPECT_EQ(Needs("copy"), Capabilities(kCapReadFiles | kCapWriteFiles));
  EXPECT_EQ(Needs("download", R"(["HTTPS://x.example/a.pdf","a.pdf"])"), Capabilities(kCapDownloads | kCapWriteFiles));
  // A local source is a copy: reading the allowed folders is reading files.
  for (const char* source : {R"(["file:///srv/labels/a.pdf","a.pdf"])", R"(["FILE:a.pdf","a.pdf"])", R"([7,"a.pdf"])"})
    EXPECT_EQ(Needs("download", source), Capabilities(kCapDownloads | kCapWriteFiles | kCapReadFiles)) << source;
  EXPECT_EQ(Needs("openFile"), Capabilities(kCapOpenFiles));
  EXPECT_EQ(Needs("getLocalMacAddress"), Capabilities(kCapDeviceIds));
  EXPECT_EQ(Needs("getCPUSerialNo"), Capabilities(kCapDeviceIds));
  EXPECT_EQ(Needs("setLastSettings"), Capabilities(kCapSettings));
  // Exporting opens the file on the desktop only when asked to.
  EXPECT_EQ(Needs("exportAsExcel", R"(["<table/>","a.xlsx",false])"), Capabilities(kCapWriteFiles));
  EXPECT_EQ(Needs("exportAsExcel", R"(["<table/>","a.xlsx",true])"), Capabilities(kCapWriteFiles | kCapOpenFiles));
  EXPECT_EQ(Needs("exportAsExcel", R"(["<table/>","a.xlsx","yes"])"), Capabilities(kCapWriteFiles | kCapOpenFiles));
  EXPECT_EQ(Needs("exportAsExcel", R"(["<table/>","a.xlsx",0])"), Capabilities(kCapWriteFiles));
  EXPECT_EQ(Needs("exportAsExcel", R"(["<table/>","a.xlsx",[]])"), Capabilities(kCapWriteFiles));
  for (Capability c : AllCapabilityList()) EXPECT_EQ(CapabilityFromName(CapabilityName(c)), c);
  EXPECT_EQ(CapabilityFromName("Printers"), Capability(0));
}

TEST(Policy, AWellFormedFileSaysWhoGetsWhat) {
  SitePolicy p = SitePolicy::FromJson(Parse(R"({
    "allow": {"https://intranet.example": ["printers", "settings"], "http://10.0.0.5:*": "all"},
    "block": ["https://ads.example"], "othersMayAsk": false})"));
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.allow.at("https://intranet.example"), Capabilities(kCapPrinters | kCapSettings));
  EXPECT_EQ(p.allow.at("http://10.0.0.5:*"), kAllCapabilities);
  EXPECT_FALSE(p.othersMayAsk);
  EXPECT_TRUE(p.Names("http://10.0.0.5:81"));
  EXPECT_TRUE(p.Names("https://ads.example"));
  EXPECT_FALSE(p.Names("https://shop.test"));
  Json::Value back = p.ToJson();
  EXPECT_EQ(back["allow"]["https://intranet.example"], Parse(R"(["printers","settings"])"));
}

TEST(Policy, AMistakeRefusesTheWholeFile) {
  for (const char* bad : {R"([])", R"({"allow": ["https://a.example"]})",
                          R"({"allow": {"https://a.example/path": "all"}})",
                          R"({"allow": {"https://a.example": ["print"]}})",
                          R"({"allow": {"https://a.example": "everything"}})", R"({"block": "https://a.example"})",
                          R"({"othersMayAsk": "no"})",
                          // A misspelt member would leave its rule out: "othersMayAsk": false unapplied lets every site ask.
                          R"({"allow": {}, "othersMayask": false})", R"({"blocks": ["https://a.example"]})",
                          R"({"allow": {"https://a.example": ["printers"], "https://a.example/": "all"}})"}) {
    SitePolicy p = SitePolicy::FromJson(Parse(bad));
    EXPECT_NE(p.error, "") << bad;
    EXPECT_TRUE(p.allow.empty()) << bad;
    EXPECT_FALSE(p.othersMayAsk) << bad;
  }
}

TEST(Decisions, FileEntriesThatAreNotDecisionsAreLeftOut) {
  SiteDecisions d = DecisionsFromJson(Parse(R"({
    "https://shop.test": {"printers": "allow", "readFiles": "block", "fly": "allow", "settings": "maybe"},
    "https://shop.test/path": {"printers": "allow"}, "nonsense": {"printers": "allow"}})"));
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d["https://shop.test"], (std::map<Capability, bool>{{kCapPrinters, true}, {kCapReadFiles, false}}));
  EXPECT_EQ(DecisionsFromJson(DecisionsToJson(d)), d);
}

TEST(Decide, PolicyFirstThenRememberedThenThisProcessThenAsk) {
  SitePolicy policy = SitePolicy::FromJson(Parse(R"({
    "allow": {"https://intranet.example": ["printers"], "http://127.0.0.1:*": "all"},
    "block": ["https://blocked.example"]})"));
  SiteDecisions remembered = {{"https://shop.test", {{kCapPrinters, true}, {kCapReadFiles, false}}},
                              {"https://blocked.example", {{kCapPrinters, true}}},
                              {"https://intranet.example", {{kCapReadFiles, true}}}};
  SiteDecisions session = {{"https://shop.test", {{kCapPrinters, false}, {kCapSettings, true}}}};
  auto check = [&](const std::string& origin, Capabilities needed, bool allowed, DecidedBy by, bool mayAsk) {
    Verdict v = Decide(policy, remembered, session, origin, needed);
    EXPECT_EQ(v.allowed, allowed) << origin << " " << needed;
    EXPECT_EQ(v.by, by) << origin << " " << needed;
    EXPECT_EQ(v.mayAsk, mayAsk) << origin << " " << needed;
  };
  check("https://blocked.example", kCapPrinters, false, DecidedBy::Policy, false);  // the user's allow does not count
  check("https://intranet.example", kCapPrinters, true, DecidedBy::Policy, false);
  check("https://intranet.example", kCapReadFiles, false, DecidedBy::Policy, false);  // nor here: never asked
  check("http://127.0.0.1:5000", kCapDeviceIds, true, DecidedBy::Policy, false);
  check("https://shop.test", kCapPrinters, true, DecidedBy::User, false);  // remembered beats this process
  check("https://shop.test", kCapSettings, true, DecidedBy::Session, false);
  check("https://shop.test", kCapReadFiles, false, DecidedBy::User, false);
  check("https://shop.test", kCapDownloads, false, DecidedBy::None, true);
  check("", kCapPrinters, false, DecidedBy::Policy, false);
  check("https://shop.test", 0, true, DecidedBy::None, false);
  // Two capabilities: a refusal nobody can change is the one reported.
  Verdict v = Decide(policy, remembered, session, "https://shop.test", kCapDownloads | kCapReadFiles);
  EXPECT_EQ(v.capability, kCapReadFiles);
  EXPECT_FALSE(v.mayAsk);
  v = Decide(policy, remembered, session, "https://shop.test", kCapPrinters | kCapDownloads);
  EXPECT_FALSE(v.allowed);
  EXPECT_EQ(v.capability, kCapDownloads);
  EXPECT_TRUE(v.mayAsk);

  policy.othersMayAsk = false;
  check("https://shop.test", kCapPrinters, false, DecidedBy::Policy, false);
  check("https://intranet.example", kCapPrinters, true, DecidedBy::Policy, false);
}

TEST(Decide, WithoutAPolicyFileLoopbackPagesKeepEverythingAndOthersMayAsk) {
  SitePolicy p = SitePolicy::Default();
  EXPECT_TRUE(Decide(p, {}, {}, "http://localhost:3000", kAllCapabilities).allowed);
  EXPECT_TRUE(Decide(p, {}, {}, "http://127.0.0.1", kAllCapabilities).allowed);
  EXPECT_TRUE(Decide(p, {}, {}, "https://127.0.0.1", kCapPrinters).mayAsk);  // another scheme, another origin
  EXPECT_TRUE(Decide(p, {}, {}, "http://127.0.0.1.evil.test", kCapPrinters).mayAsk);
}

}  // namespace
