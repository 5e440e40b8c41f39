// The bootstrap page inside the Windows host: the page the executable carries
// as its resource, written and navigated to by the control proxy, run by the
// browser stand-in; its getKP creates the fake control by script, and
// requests go through the dispatcher, the page and the control and back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "browser/BootstrapPage.h"
#include "dispatch/CommandDispatcher.h"
#include "dispatch/ControlProxy.h"
#include "framing/ByteSink.h"
#include "framing/FrameWriter.h"
#include "platform/MessageLoop.h"
#include "platform/webbrowser/ControlClasses.h"
#include "platform/webbrowser/WebBrowser.h"
#include "support/fake/FakeControl.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
  return v;
}

TEST(PageOnWindows, GetKPCreatesTheControlAndRequestsRoundTripThroughThePage) {
  FakeControl* control = nullptr;
  RegisterFakeControl(0, &control);
  ComPtr<IWebBrowser2> browser;
  ASSERT_EQ(CreateWebBrowser(&browser), S_OK);

  std::vector<Json::Value> messages;
  FunctionSink sink([&](const char* b, size_t n) {
    messages.push_back(Parse(std::string(b + 4, n - 4)));
    return true;
  });
  FrameWriter writer(sink, FrameWriter::Mode::Inline);
  std::string page;
  {
    ControlProxy proxy(browser.Get(), nullptr, [&page] { return page = WriteBootstrapPage(); });
    proxy.SetFrameWriter(&writer);
    ASSERT_FALSE(page.empty());
    // No policy file: the built-in policy grants a loopback page everything.
    CommandDispatcher dispatcher(&proxy, SiteGuard::Paths{"Z:/nonexistent/kx-policy.json", "Z:/nonexistent/kx-sites.json"});
    auto send = [&](const char* request) {
      messages.clear();
      if (control) control->calls.clear();
      dispatcher.HandleRequest(Parse(request));
    };

    send(R"({"method":"new","sender":{"tab":{"id":42},"url":"http://127.0.0.1:8080/shop"}})");
    ASSERT_TRUE(proxy.IsReady()) << "getKP gave the control";
    ASSERT_NE(control, nullptr);
    FakeControl* first = control;
    EXPECT_EQ(control->calls.at(0)["member"], "setPageURL");
    send(R"({"method":"new","sender":{"tab":{"id":42},"url":"http://127.0.0.1:8080/shop"}})");
    EXPECT_EQ(control, first) << "a second getKP returns the element made by the first";

    send(R"({"method":"getPrinters","event":"e"})");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], Parse(R"({"data":["Fake Printer A","Fake Printer B"],"event":"e","tab":42})"));

    // An object parameter becomes a script object of the page's engine,
    // which the control reads back through IDispatchEx.
    send(R"({"method":"setLastSettings","event":"e","params":["k",{"m":[true,null],"t":"t\u00e9"}]})");
    ASSERT_EQ(control->calls.size(), 1u);
    EXPECT_EQ(control->calls[0]["args"], Parse(R"(["k",{"vt":9,"value":{"m":[true,null],"t":"t\u00e9"}}])"));

    // loadHTML: the page writes the HTML into its iframe and hands back the element.
    send(R"({"method":"exportAsImage","event":"e","params":[{"html":"<p>x</p><div id='t'>y</div>","element":"t"},"o.png"]})");
    ASSERT_EQ(control->calls.size(), 1u);
    EXPECT_EQ(control->calls[0]["args"][0]["vt"], VT_DISPATCH);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["data"], "o.png");

    // Job events come back from the control through the listener.
    send(R"({"method":"print","params":[{"_hasCallback":true,"done":"d","onState":"s"},false]})");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (messages.size() < 3 && std::chrono::steady_clock::now() < deadline) {
      MSG msg;
      if (GetMessageTimeout(&msg, 50)) DispatchMessageW(&msg);
    }
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0]["event"], "s");
    EXPECT_EQ(messages[2]["event"], "d");
    EXPECT_EQ(messages[2]["params"][0], "success");
  }
  browser = nullptr;
  UnregisterControlClass(CLSID_KestrixPrinter);
  std::remove(page.c_str());
}

}  // namespace
