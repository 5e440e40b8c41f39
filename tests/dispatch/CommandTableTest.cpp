// The command table, driven against a recorder with the proxy's operation
// names: which method reaches which operation, with which arguments in which
// order, and what happens to requests outside the table or of the wrong shape.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <vector>

#include "dispatch/CommandTable.h"
#include "dispatch/SitePermissions.h"

namespace {

std::string Show(const std::string& s) { return "\"" + s + "\""; }
std::string Show(bool b) { return b ? "true" : "false"; }
std::string Show(int32_t i) { return std::to_string(i); }
std::string Show(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return "json:" + Json::writeString(b, v);
}

// Records each call as name(arg, arg, ...).
class Recorder {
 public:
  std::vector<std::string> calls;

  template <class... A>
  void Record(const char* name, const A&... args) {
    std::string s = std::string(name) + "(";
    bool first = true;
    ((s += (first ? "" : ", ") + Show(args), first = false), ...);
    calls.push_back(s + ")");
  }

  void OnNew(const Json::Value& r) { Record("OnNew", r); }
  // One operation per row of the table, recording what it was given.
#define KX_COMMAND(name, ...) \
  template <class... A>       \
  void name(const A&... a) {  \
    Record(#name, a...);      \
  }
#include "dispatch/Commands.def"
#undef KX_COMMAND
};

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, v)) << text;
  return v;
}

// Dispatches the request; the calls made, or "error: <what>" when it raised.
std::vector<std::string> Dispatch(const std::string& requestText) {
  Recorder r;
  Json::Value request = Parse(requestText);
  try {
    DispatchCommand(r, request);
  } catch (const Json::LogicError& e) {
    r.calls.push_back(std::string("error: ") + e.what());
  }
  return r.calls;
}

using Calls = std::vector<std::string>;

struct Row {
  const char* method;
  const char* params;  // the "params" member's JSON text
  const char* expected;
};

// One row per command of the table, in its order, each with distinct parameter values so
// that a swapped order or a wrong kind shows.
const Row kTable[] = {
    {"about", "[]", "about()"},
    {"printPreview", R"([{"a":1},1])", R"(printPreview(json:{"a":1}, true))"},
    {"print", R"([{"a":1},0])", R"(print(json:{"a":1}, false))"},
    {"getPrinters", "[]", R"(getPrinters("e"))"},
    {"getPapers", R"(["P"])", R"(getPapers("P", "e"))"},
    {"isCustomPaperSupported", R"(["P"])", R"(isCustomPaperSupported("P", "e"))"},
    {"isImplemented", R"(["getFonts"])", R"(isImplemented("getFonts", "e"))"},
    {"isExcelInstalled", "[]", R"(isExcelInstalled("e"))"},
    {"getDefaultPrinter", "[]", R"(getDefaultPrinter("e"))"},
    {"getVersion", "[]", R"(getVersion("e"))"},
    {"getLocalMacAddress", "[]", R"(getLocalMacAddress("e"))"},
    {"getCPUSerialNo", "[]", R"(getCPUSerialNo("e"))"},
    {"setOffsetPage", "[7.9]", R"(setOffsetPage(7, "e"))"},
    {"isPrintableFileType", R"(["pdf"])", R"(isPrintableFileType("pdf", "e"))"},
    {"setDragCSS", R"(["s",true])", R"(setDragCSS("s", "true", "e"))"},
    {"clearLastSettings", R"(["k"])", R"(clearLastSettings("k", "e"))"},
    {"printDocument", R"(["d",{"o":2}])", R"(printDocument("d", json:{"o":2}, "e"))"},
    {"printTIFF", R"(["t.tif",{"j":1},"P"])", R"(printTIFF("t.tif", json:{"j":1}, "P", "e"))"},
    {"exportAsImage", R"(["<b>","x.png"])", R"(exportAsImage(json:"<b>", "x.png", "e"))"},
    {"exportAsExcel", R"([{"h":1},"x.xlsx","y"])", R"(exportAsExcel(json:{"h":1}, "x.xlsx", true, "e"))"},
    {"setupNormalOffset", R"(["3"])", R"(setupNormalOffset("3", "e"))"},
    {"download", R"(["u","p"])", R"(download("u", "p", "e"))"},
    {"printToImage", R"([{"j":1},"p"])", R"(printToImage(json:{"j":1}, "p", "e"))"},
    {"printToPDF", R"([{"j":2},"q"])", R"(printToPDF(json:{"j":2}, "q", "e"))"},
    {"liveUpdate", R"(["u","1.2"])", R"(liveUpdate("u", "1.2", "e"))"},
    {"getFonts", "[]", R"(getFonts("e"))"},
    {"copy", R"(["a","b"])", R"(copy("a", "b", "e"))"},
    {"copied", R"(["a"])", R"(copied("a", "e"))"},
    {"writeString", R"(["p","t","utf-8"])", R"(writeString("p", "t", "utf-8", "e"))"},
    {"writeBase64", R"(["p","QQ=="])", R"(writeBase64("p", "QQ==", "e"))"},
    {"readString", R"(["p","utf-8"])", R"(readString("p", "utf-8", "e"))"},
    {"readBase64", R"(["p"])", R"(readBase64("p", "e"))"},
    {"readHTML", R"(["p","gbk"])", R"(readHTML("p", "gbk", "e"))"},
    {"chooseFile", R"(["t","*.pdf",false])", R"(chooseFile("t", "*.pdf", false, "e"))"},
    {"showPageSetupDialog", "[]", R"(showPageSetupDialog("e"))"},
    {"getLastSettings", R"(["k"])", R"(getLastSettings("k", "e"))"},
    {"getAbsoluteURL", R"(["a.html","http://h/"])", R"(getAbsoluteURL("a.html", json:"http://h/", "e"))"},
    {"setLastSettings", R"(["k",{"s":1}])", R"(setLastSettings("k", json:{"s":1}, "e"))"},
    {"setDefaultPrinter", R"(["P"])", R"(setDefaultPrinter("P", "e"))"},
    {"openFile", R"(["f"])", R"(openFile("f", "e"))"},
    {"getPrinterInfo", R"(["P"])", R"(getPrinterInfo("P", "e"))"},
    {"getPrinterStatus", R"(["P",1])", R"(getPrinterStatus("P", true, "e"))"},
    {"setPrintBackground", "[0]", R"(setPrintBackground(false, "e"))"},
};

TEST(CommandTable, EveryCommandReachesItsOperationWithItsParametersInOrder) {
  ASSERT_EQ(std::size(kTable), std::size(kCommands));
  for (size_t i = 0; i < std::size(kTable); ++i) EXPECT_EQ(kTable[i].method, kCommands[i].name);
  for (const Row& row : kTable) {
    std::string request =
        std::string(R"({"method":")") + row.method + R"(","event":"e","params":)" + row.params + "}";
    EXPECT_EQ(Dispatch(request), Calls{row.expected}) << request;
  }
}

TEST(CommandTable, PingCallsNothingAndNewHandsOverTheWholeRequest) {
  EXPECT_EQ(Dispatch(R"({"method":"ping","event":"e"})"), Calls{});
  EXPECT_EQ(Dispatch(R"({"method":"new","sender":{"tab":{"id":4},"url":"u"}})"),
            Calls{R"(OnNew(json:{"method":"new","sender":{"tab":{"id":4},"url":"u"}}))"});
}

TEST(CommandTable, MethodsOutsideTheTableDoNothing) {
  for (const char* request : {R"({"method":"Print","params":[{},true]})", R"({"method":"print "})",
                              R"({"method":" getVersion","event":"e"})", R"({"method":"GETVERSION"})",
                              R"({"method":""})", R"({"event":"e"})", R"({"method":null})", R"({"method":"exit"})"})
    EXPECT_EQ(Dispatch(request), Calls{}) << request;
}

TEST(CommandTable, AMethodThatIsNotTextRaisesTheTextError) {
  EXPECT_EQ(Dispatch(R"({"method":5})"), Calls{"error: Type is not convertible to string"});
}

TEST(CommandTable, AMissingEventIsCarriedOutWithAnEmptyName) {
  EXPECT_EQ(Dispatch(R"({"method":"getVersion"})"), Calls{R"(getVersion(""))"});
  EXPECT_EQ(Dispatch(R"({"method":"getPapers","params":["P"]})"), Calls{R"(getPapers("P", ""))"});
}

TEST(CommandTable, MissingParametersTakeTheKindsDefaults) {
  EXPECT_EQ(Dispatch(R"({"method":"setOffsetPage","event":"e","params":[]})"), Calls{R"(setOffsetPage(0, "e"))"});
  EXPECT_EQ(Dispatch(R"({"method":"chooseFile","event":"e","params":["t"]})"), Calls{R"(chooseFile("t", "", false, "e"))"});
  EXPECT_EQ(Dispatch(R"({"method":"printTIFF","event":"e"})"), Calls{R"(printTIFF("", json:null, "", "e"))"});
  EXPECT_EQ(Dispatch(R"({"method":"print"})"), Calls{R"(print(json:null, false))"});
}

TEST(CommandTable, ParamsThatAreNotAnArrayCountAsNone) {
  EXPECT_EQ(Dispatch(R"({"method":"getPapers","event":"e","params":"P"})"), Calls{R"(getPapers("", "e"))"});
  EXPECT_EQ(Dispatch(R"({"method":"getPapers","event":"e","params":{"0":"P"}})"), Calls{R"(getPapers("", "e"))"});
  EXPECT_EQ(Dispatch(R"({"method":"setOffsetPage","event":"e","params":7})"), Calls{R"(setOffsetPage(0, "e"))"});
}

TEST(CommandTable, ExtraParametersAreIgnored) {
  EXPECT_EQ(Dispatch(R"({"method":"copied","event":"e","params":["a","b",3]})"), Calls{R"(copied("a", "e"))"});
}

TEST(CommandTable, AParameterOfTheWrongKindStopsTheRequestBeforeAnyCall) {
  EXPECT_EQ(Dispatch(R"({"method":"setOffsetPage","event":"e","params":["3"]})"),
            Calls{"error: Type is not convertible to int"});
  EXPECT_EQ(Dispatch(R"({"method":"isImplemented","event":"e","params":[12]})"),
            Calls{"error: Type is not convertible to string"});
  // The last parameter fails after the first has been read: still no call.
  EXPECT_EQ(Dispatch(R"({"method":"writeString","event":"e","params":["p","t",3]})"),
            Calls{"error: Type is not convertible to string"});
  EXPECT_EQ(Dispatch(R"({"method":"setOffsetPage","event":"e","params":[3000000000]})"),
            Calls{"error: integer out of signed integer range"});
  EXPECT_EQ(Dispatch(R"({"method":"setOffsetPage","event":"e","params":[1e12]})"),
            Calls{"error: Real out of signed integer range"});
}

TEST(CommandTable, AnEventNameThatIsNotTextStopsTheRequest) {
  EXPECT_EQ(Dispatch(R"({"method":"getVersion","event":1})"), Calls{"error: Type is not convertible to string"});
  // A boolean event name reads as its text, like any text parameter.
  EXPECT_EQ(Dispatch(R"({"method":"getVersion","event":true})"), Calls{R"(getVersion("true"))"});
}

TEST(CommandTable, ValueParametersArePassedUnconverted) {
  EXPECT_EQ(Dispatch(R"({"method":"printDocument","event":"e","params":["d",[1,"x",null]]})"),
            Calls{R"(printDocument("d", json:[1,"x",null], "e"))"});
  EXPECT_EQ(Dispatch(R"({"method":"exportAsImage","event":"e","params":[12.5,"p"]})"),
            Calls{R"(exportAsImage(json:12.5, "p", "e"))"});
}

}  // namespace
