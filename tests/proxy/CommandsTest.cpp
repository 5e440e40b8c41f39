// Every command through the dispatcher, the proxy and the real page into the
// fake control: which member is called with what, and the reply it gives.
#include "ProxyFixture.h"
#include "browser/BootstrapPage.h"
#include "dispatch/CommandDispatcher.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
  return v;
}

class CommandTest : public ProxyTest {
 protected:
  void SetUp() override {
    ProxyTest::SetUp();
    MakeProxy(WriteBootstrapPage());
    // No policy file: the built-in policy grants loopback pages everything.
    dispatcher = std::make_unique<CommandDispatcher>(
        proxy.get(), SiteGuard::Paths{"/nonexistent/kx-policy.json", "/nonexistent/kx-sites.json"});
    Send(R"({"method":"new","sender":{"tab":{"id":42},"url":"http://127.0.0.1:8080/shop"}})");
    ASSERT_TRUE(proxy->IsReady());
    ASSERT_NE(control, nullptr);
    control->calls.clear();
    messages.clear();
  }
  void Send(const std::string& request) { dispatcher->HandleRequest(Parse(request)); }
  // Pumps until n messages have been written (events come through the queue).
  bool WaitForMessages(size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (messages.size() < n && std::chrono::steady_clock::now() < deadline) {
      MSG msg;
      if (GetMessageTimeout(&msg, 50)) DispatchMessageW(&msg);
    }
    return messages.size() >= n;
  }
  std::unique_ptr<CommandDispatcher> dispatcher;
};

struct Row {
  const char* request;
  const char* member;
  const char* args;   // the member's arguments as the fake records them
  const char* reply;  // the reply written, or "" for none
};

// "tab":42 is the tab of the "new" above.
const Row kRows[] = {
    {R"({"method":"getPrinters","event":"e"})", "getPrinters", "[]",
     R"({"data":["Fake Printer A","Fake Printer B"],"event":"e","tab":42})"},
    {R"({"method":"getPapers","event":"e","params":["P"]})", "getPapers", R"(["P"])",
     R"({"data":[{"height":297,"name":"A4","width":210}],"event":"e","tab":42})"},
    {R"({"method":"isCustomPaperSupported","event":"e","params":["P"]})", "isCustomPaperSupported", R"(["P"])",
     R"({"data":false,"event":"e","tab":42})"},
    {R"({"method":"isImplemented","event":"e","params":["print"]})", "isImplemented", R"(["print"])",
     R"({"data":true,"event":"e","tab":42})"},
    {R"({"method":"isExcelInstalled","event":"e"})", "isExcelInstalled", "[]", R"({"data":false,"event":"e","tab":42})"},
    {R"({"method":"getDefaultPrinter","event":"e"})", "getDefaultPrinter", "[]",
     R"({"data":"Fake Printer A","event":"e","tab":42})"},
    {R"({"method":"getVersion","event":"e"})", "getVersion", "[]", R"({"data":"1.0.0-fake","event":"e","tab":42})"},
    {R"({"method":"getLocalMacAddress","event":"e"})", "getLocalMacAddress", "[]",
     R"({"data":"02-00-00-00-00-01","event":"e","tab":42})"},
    {R"({"method":"getCPUSerialNo","event":"e"})", "getCPUSerialNo", "[]", R"({"data":"fake-machine","event":"e","tab":42})"},
    {R"({"method":"setOffsetPage","event":"e","params":[12]})", "setOffsetPage", "[12]", R"({"event":"e","tab":42})"},
    {R"({"method":"setOffsetPage","event":"e","params":[]})", "setOffsetPage", "[0]", R"({"event":"e","tab":42})"},
    {R"({"method":"isPrintableFileType","event":"e","params":["pdf"]})", "isPrintableFileType", R"(["pdf"])",
     R"({"data":true,"event":"e","tab":42})"},
    {R"({"method":"setDragCSS","event":"e","params":["a",true]})", "setDragCSS", R"(["a","true"])",
     R"({"event":"e","tab":42})"},
    {R"({"method":"clearLastSettings","event":"e","params":["k"]})", "clearLastSettings", R"(["k"])",
     R"({"event":"e","tab":42})"},
    {R"({"method":"printDocument","event":"e","params":["doc",{"x":1}]})", "printDocument",
     R"([{"vt":8,"value":"doc"},{"vt":9,"value":{"x":1}}])", R"({"event":"e","tab":42})"},
    {R"({"method":"printTIFF","event":"e","params":["f.tif",{"a":[1,2]},"P"]})", "printTIFF",
     R"(["f.tif",{"vt":9,"value":{"a":[1,2]}},"P"])", R"({"event":"e","tab":42})"},
    {R"({"method":"printTIFF","event":"e","params":["f.tif","not an object","P"]})", "printTIFF",
     R"(["f.tif",null,"P"])", R"({"event":"e","tab":42})"},
    {R"({"method":"exportAsExcel","event":"e","params":["<table><tr><td>1</td></tr></table>","",true]})",
     "exportAsExcel", "", R"({"data":false,"event":"e","tab":42})"},
    {R"({"method":"setupNormalOffset","event":"e","params":["1,2"]})", "setupNormalOffset", R"(["1,2"])",
     R"({"event":"e","tab":42})"},
    {R"({"method":"download","event":"e","params":["http://x/","p"]})", "download", R"(["http://x/","p"])",
     R"({"data":false,"event":"e","tab":42})"},
    {R"({"method":"liveUpdate","event":"e","params":["u","1.0"]})", "liveUpdate", R"(["u","1.0"])",
     R"({"data":0,"event":"e","tab":42})"},
    {R"({"method":"getFonts","event":"e"})", "getFonts", "[]",
     R"({"data":["DejaVu Sans","DejaVu Serif"],"event":"e","tab":42})"},
    {R"({"method":"copy","event":"e","params":["a","b"]})", "copy", R"(["a","b"])", R"({"event":"e","tab":42})"},
    {R"({"method":"copied","event":"e","params":["a"]})", "copied", R"(["a"])", R"({"data":"","event":"e","tab":42})"},
    {R"({"method":"writeString","event":"e","params":["p","t\u00e9","utf-8"]})", "writeString",
     "[\"p\",\"t\xC3\xA9\",\"utf-8\"]", R"({"data":true,"event":"e","tab":42})"},
    {R"({"method":"writeBase64","event":"e","params":["p","QQ=="]})", "writeBase64", R"(["p","QQ=="])",
     R"({"data":true,"event":"e","tab":42})"},
    {R"({"method":"readString","event":"e","params":["p","utf-8"]})", "readString", R"(["p","utf-8"])",
     R"({"data":"text of p","event":"e","tab":42})"},
    {R"({"method":"readBase64","event":"e","params":["bytes:10"]})", "readBase64", R"(["bytes:10"])",
     R"({"data":"ABCDEFGHIJ","event":"e","tab":42})"},
    {R"({"method":"readHTML","event":"e","params":["p",null]})", "readHTML", R"(["p",""])",
     R"({"data":"<p>p</p>","event":"e","tab":42})"},
    {R"({"method":"chooseFile","event":"e","params":["a","b","x"]})", "chooseFile", R"(["a","b",-1])",
     R"({"data":"","event":"e","tab":42})"},
    {R"({"method":"showPageSetupDialog","event":"e"})", "showPageSetupDialog", "[]",
     R"({"data":null,"event":"e","tab":42})"},
    {R"({"method":"getLastSettings","event":"e","params":["k"]})", "getLastSettings", R"(["k"])",
     R"({"data":null,"event":"e","tab":42})"},
    {R"({"method":"getAbsoluteURL","event":"e","params":["a.html","https://b/"]})", "getAbsoluteURL",
     R"(["a.html",{"vt":8,"value":"https://b/"}])", R"({"data":"a.html","event":"e","tab":42})"},
    {R"({"method":"setLastSettings","event":"e","params":["k",{"m":[true,null]}]})", "setLastSettings",
     R"(["k",{"vt":9,"value":{"m":[true,null]}}])", R"({"event":"e","tab":42})"},
    {R"({"method":"setLastSettings","event":"e","params":["k",2147483648]})", "setLastSettings",
     R"(["k",{"vt":19,"value":null}])", R"({"event":"e","tab":42})"},
    {R"({"method":"setDefaultPrinter","event":"e","params":["P"]})", "setDefaultPrinter", R"(["P"])",
     R"({"event":"e","tab":42})"},
    {R"({"method":"openFile","event":"e","params":["f"]})", "openFile", R"(["f"])", R"({"event":"e","tab":42})"},
    {R"({"method":"getPrinterInfo","event":"e","params":["P"]})", "getPrinterInfo", R"(["P"])",
     R"({"data":{"accepting":true,"name":"Fake Printer A","state":"idle"},"event":"e","tab":42})"},
    {R"({"method":"getPrinterStatus","event":"e","params":["P",1]})", "getPrinterStatus", R"(["P",-1])",
     R"({"data":{"accepting":true,"name":"Fake Printer A","state":"idle"},"event":"e","tab":42})"},
    {R"({"method":"setPrintBackground","event":"e","params":[true]})", "setPrintBackground", "[-1]",
     R"({"data":true,"event":"e","tab":42})"},
    {R"({"method":"about"})", "about", "[]", ""},
    {R"({"method":"getVersion"})", "getVersion", "[]", ""},
};

TEST_F(CommandTest, EveryRowCallsItsMemberAndRepliesAsTabled) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.request);
    control->calls.clear();
    messages.clear();
    Send(row.request);
    ASSERT_EQ(control->calls.size(), 1u);
    EXPECT_EQ(control->calls[0]["member"].asString(), row.member);
    if (*row.args) {
      EXPECT_EQ(control->calls[0]["args"], Parse(row.args));
    }
    if (*row.reply) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0], Parse(row.reply));
    } else {
      EXPECT_TRUE(messages.empty());
    }
  }
}

TEST_F(CommandTest, ExportAsExcelPassesANullPathForEmptyTextAndTheLoadedNode) {
  Send(R"({"method":"exportAsExcel","event":"e","params":["<b>bold</b> tail","",false]})");
  const Json::Value& args = control->calls.at(0)["args"];
  EXPECT_TRUE(args[1].isNull()) << "an empty path is a null BSTR, not an empty one";
  EXPECT_EQ(args[2], 0);
  EXPECT_EQ(args[0]["vt"], VT_DISPATCH) << "the first node of the loaded body";
}

TEST_F(CommandTest, ExportAsImageLoadsTheHtmlAndPassesTheElement) {
  Send(R"({"method":"exportAsImage","event":"e","params":[{"html":"<p>x</p><div id='t'>y</div>","element":"t"},"o.png"]})");
  const Json::Value& args = control->calls.at(0)["args"];
  EXPECT_EQ(args[0]["vt"], VT_DISPATCH);
  EXPECT_EQ(args[1], "o.png");
  EXPECT_EQ(messages.at(0)["data"], "o.png");
}

TEST_F(CommandTest, AFailedMemberRepliesWithTheInitialValue) {
  control->Results()["fail"] = Parse(R"(["getVersion","isExcelInstalled","getPrinters","liveUpdate"])");
  control->Results()["liveUpdate"] = 9;
  Send(R"({"method":"getVersion","event":"a"})");
  Send(R"({"method":"isExcelInstalled","event":"b"})");
  Send(R"({"method":"getPrinters","event":"c"})");
  Send(R"({"method":"liveUpdate","event":"d"})");
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0]["data"], "");
  EXPECT_EQ(messages[1]["data"], false);
  EXPECT_TRUE(messages[2]["data"].isNull());
  EXPECT_EQ(messages[3]["data"], 0);
}

TEST_F(CommandTest, WrongParameterKindsCallNothing) {
  EXPECT_THROW(Send(R"({"method":"setOffsetPage","event":"e","params":["3"]})"), Json::LogicError);
  EXPECT_THROW(Send(R"({"method":"isImplemented","event":"e","params":[12]})"), Json::LogicError);
  EXPECT_TRUE(control->calls.empty());
  EXPECT_TRUE(messages.empty());
}

TEST_F(CommandTest, PrintRepliesNeverAndItsJobEventsArrive) {
  Send(R"({"method":"print","params":[{"_hasCallback":true,"done":"d","onState":"s","copies":2},false]})");
  EXPECT_TRUE(messages.empty()) << "print never replies";
  ASSERT_EQ(control->calls.at(0)["member"], "print");
  EXPECT_EQ(control->calls[0]["args"][0]["value"]["copies"], 2);
  EXPECT_EQ(control->calls[0]["args"][1], 0);
  EXPECT_EQ(control->SinkCount(), 1u);
  ASSERT_TRUE(WaitForMessages(3));
  EXPECT_EQ(messages[0]["event"], "s");
  EXPECT_EQ(messages[0]["params"][0]["status"], "printing");
  EXPECT_EQ(messages[0]["tab"], 42);
  EXPECT_EQ(messages[2]["event"], "d");
  EXPECT_EQ(messages[2]["params"][0], "success");
}

TEST_F(CommandTest, PrintToPdfRepliesAtOnceBeforeAnyEvent) {
  Send(R"({"method":"printToPDF","event":"r","params":[{"_hasCallback":false,"listener":"L"},"/tmp/o.pdf"]})");
  ASSERT_GE(messages.size(), 1u);
  EXPECT_EQ(messages[0], Parse(R"({"data":true,"event":"r","tab":42})"));
  EXPECT_EQ(control->SinkCount(), 1u) << "\"_hasCallback\": false still attaches";
  ASSERT_TRUE(WaitForMessages(4));
  EXPECT_EQ(messages[1]["event"], "L");
  EXPECT_EQ(messages[3]["event"], "L") << "done goes to the listener name when the object has a type";
}

TEST_F(CommandTest, OneListenerAtATimeAndNoneWithoutCallback) {
  control->fireJobEvents = false;
  Send(R"({"method":"print","params":[{"_hasCallback":1,"done":"d"}]})");
  Send(R"({"method":"printPreview","params":[{"_hasCallback":1,"done":"d2"}]})");
  EXPECT_EQ(control->SinkCount(), 1u) << "the earlier listener was detached";
  Send(R"({"method":"printToImage","event":"r","params":[{"done":"d3"},"o.png"]})");
  EXPECT_EQ(control->SinkCount(), 0u) << "no \"_hasCallback\": the listener is detached, none attached";
  Send(R"({"method":"print","params":["just a string"]})");
  EXPECT_EQ(control->SinkCount(), 0u);
  EXPECT_EQ(control->calls.back()["args"][0]["vt"], VT_DISPATCH);
  EXPECT_EQ(control->calls.back()["args"][0]["value"], Json::Value()) << "no object reaches the control";
}

}  // namespace
