// A test over the script heap of a page of its own: the page's global object
// as IDispatchEx, and every BSTR the test made freed by its end.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "BrowserTestSupport.h"
#include "platform/webbrowser/HtmlDocument.h"
#include "platform/webbrowser/ScriptEngine.h"

namespace browsertest {

class ScriptPageTest : public ::testing::Test {
 protected:
  // Loads html; with runScripts the page's own scripts run first.
  void Open(const char* html, bool runScripts) {
    bstrs_ = SysAllocatedCount();
    doc_ = HtmlDocument::LoadText(html, nullptr);
    ASSERT_TRUE(doc_);
    if (runScripts) doc_->RunPageScripts();
    ComPtr<IDispatch> script;
    ASSERT_EQ(doc_->get_Script(&script), S_OK);
    ASSERT_EQ(script.QueryInterface(IID_IDispatchEx, std::addressof(global_)), S_OK);
  }
  void TearDown() override {
    global_.Release();
    if (doc_) doc_->Close();
    doc_.Release();
    EXPECT_EQ(SysAllocatedCount(), bstrs_) << "BSTRs leaked";
  }

  long bstrs_ = 0;
  ComPtr<HtmlDocument> doc_;
  ComPtr<IDispatchEx> global_;
};

}  // namespace browsertest
