// Calls the stand-in serves in batches: pushes and members of fresh objects
// that wait for the next entry into the heap, and array elements read
// ahead. Whatever script does in between, it must see (and be seen) exactly
// as if every call had entered the heap on its own.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "BrowserTestSupport.h"
#include "ScriptPageTest.h"
#include "platform/webbrowser/HtmlDocument.h"
#include "platform/webbrowser/ScriptEngine.h"

using namespace browsertest;

namespace {

class BatchedCallsTest : public ScriptPageTest {
 protected:
  void SetUp() override { Open("<html><body></body></html>", false); }

  bool Run(const std::string& program) {
    std::string error;
    bool ok = doc_->Engine()->Eval(program, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  std::u16string Text(const std::string& expression) {
    if (!Run("var __r = String(" + expression + ");")) return u"";
    Variant v;
    EXPECT_EQ(Get(global_.Get(), u"__r", &v), S_OK);
    return browsertest::Text(v);
  }
  // new Object() / new Array() the way the value bridge makes them.
  ComPtr<IDispatchEx> Construct(const char16_t* constructor) {
    DISPID id;
    EXPECT_EQ(IdOf(global_.Get(), constructor, &id), S_OK);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Variant made;
    EXPECT_EQ(global_->InvokeEx(id, LOCALE_USER_DEFAULT, DISPATCH_CONSTRUCT, &none, &made, nullptr, nullptr), S_OK);
    ComPtr<IDispatchEx> out;
    if (made.vt == VT_DISPATCH) ComPtr<IDispatch>(made.pdispVal).QueryInterface(IID_IDispatchEx, std::addressof(out));
    return out;
  }
  // The bridge's push: look the name up, then call it with one argument.
  HRESULT Push(IDispatch* array, const Variant& value) { return Call(array, u"push", {value}, nullptr); }
  void Expose(const char16_t* name, IDispatch* object) {
    ASSERT_EQ(Put(global_.Get(), name, Variant::FromDispatch(object)), S_OK);
  }
  // The bridge's read of an element: GetIDsOfNames of the index, then a get.
  HRESULT Element(IDispatch* array, int index, Variant* out) {
    std::u16string name;
    for (char c : std::to_string(index)) name.push_back(static_cast<char16_t>(c));
    return Get(array, name.c_str(), out);
  }
};

TEST_F(BatchedCallsTest, PushedElementsArriveInOrderBeforeScriptLooks) {
  ComPtr<IDispatchEx> array = Construct(u"Array");
  ASSERT_TRUE(array);
  for (int i = 0; i < 10000; ++i)  // more than one batch
    ASSERT_EQ(Push(array.Get(), i % 3 ? Variant::FromLong(i) : Variant::FromString(u"t" + std::u16string(1, u'a' + i % 26))), S_OK);
  Variant length;
  ASSERT_EQ(Get(array.Get(), u"length", &length), S_OK);
  EXPECT_EQ(length.lVal, 10000);
  Expose(u"made", array.Get());
  EXPECT_EQ(Text("made.length + ':' + made[0] + ':' + made[1] + ':' + made[9999] + ':' + typeof made[2]"),
            u"10000:ta:1:tp:number");
  // Pushes after script has looked go on from where it left the array.
  ASSERT_TRUE(Run("made.length = 1;"));
  ASSERT_EQ(Push(array.Get(), Variant::FromString(u"next")), S_OK);
  ASSERT_EQ(Push(array.Get(), Variant()), S_OK);
  EXPECT_EQ(Text("made.length + ':' + made[1] + ':' + (2 in made) + typeof made[2]"), u"3:next:trueundefined");
}

TEST_F(BatchedCallsTest, PushesGoThroughWhatScriptMadeOfPush) {
  ComPtr<IDispatchEx> array = Construct(u"Array");
  ASSERT_TRUE(Run("var calls = 0; var originalPush = Array.prototype.push;"
                  "Array.prototype.push = function () { calls++; return originalPush.apply(this, arguments); };"));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Push(array.Get(), Variant::FromLong(i)), S_OK);
  Expose(u"made", array.Get());
  EXPECT_EQ(Text("calls + ':' + made.join(',')"), u"5:0,1,2,3,4");
  ASSERT_TRUE(Run("Array.prototype.push = originalPush;"));

  // An own push of the array, set between two pushes from outside.
  ASSERT_EQ(Push(array.Get(), Variant::FromLong(5)), S_OK);
  ASSERT_TRUE(Run("made.push = function (v) { this.got = v; return -1; };"));
  ASSERT_EQ(Push(array.Get(), Variant::FromLong(6)), S_OK);
  EXPECT_EQ(Text("made.length + ':' + made.got"), u"6:6");
}

TEST_F(BatchedCallsTest, PushesOntoProxiesAndFrozenArraysBehaveAsPushes) {
  ASSERT_TRUE(Run("var log = [];"
                  "var proxied = new Proxy([], {set: function (t, k, v) { log.push(String(k)); t[k] = v; return true; }});"
                  "var frozen = Object.freeze([1]);"));
  Variant proxied, frozen;
  ASSERT_EQ(Get(global_.Get(), u"proxied", &proxied), S_OK);
  ASSERT_EQ(Push(proxied.pdispVal, Variant::FromString(u"x")), S_OK);
  EXPECT_EQ(Text("log.join(',') + ':' + proxied[0]"), u"0,length:x") << "a proxy sees the length set too";

  ASSERT_EQ(Get(global_.Get(), u"frozen", &frozen), S_OK);
  Push(frozen.pdispVal, Variant::FromLong(2));  // fails, reported or not
  EXPECT_EQ(Text("frozen.length + ':' + frozen[0]"), u"1:1") << "the frozen array is left as it was";
  EXPECT_EQ(Text("1 + 1"), u"2") << "and the heap is fine";
}

TEST_F(BatchedCallsTest, MembersOfAFreshObjectArriveInOrderWithTheirValues) {
  ComPtr<IDispatchEx> object = Construct(u"Object");
  ASSERT_TRUE(object);
  ASSERT_EQ(Put(object.Get(), u"b", Variant::FromLong(1)), S_OK);
  ASSERT_EQ(Put(object.Get(), u"a", Variant::FromString(u"caf\u00e9 \U0001F600")), S_OK);
  ASSERT_EQ(Put(object.Get(), u"__proto__", Variant::FromLong(3)), S_OK);
  Bstr onlyMade(u"u");
  DISPID id;
  ASSERT_EQ(object->GetDispID(onlyMade.Get(), fdexNameCaseSensitive | fdexNameEnsure, &id), S_OK);
  ASSERT_EQ(Put(object.Get(), u"b", Variant::FromBool(true)), S_OK);  // set again: stays in first place
  Expose(u"made", object.Get());
  EXPECT_EQ(Text("Object.keys(made).join(',')"), u"b,a,__proto__,u");
  EXPECT_EQ(Text("[made.b, made.a.length, made.a.charCodeAt(5), typeof made.u, 'u' in made].join(',')"),
            u"true,7,55357,undefined,true");
  EXPECT_EQ(Text("Object.getPrototypeOf(made) === Object.prototype && made.__proto__ === 3"), u"true");
  // Read back through COM after script: the values script sees.
  Variant b;
  ASSERT_EQ(Get(object.Get(), u"b", &b), S_OK);
  EXPECT_EQ(b.vt, VT_BOOL);
}

TEST_F(BatchedCallsTest, AFreshObjectMeetsSettersOfItsPrototypeAsAnyOther) {
  ASSERT_TRUE(Run("var seen = [];"
                  "Object.defineProperty(Object.prototype, 'watched', {configurable: true,"
                  "  set: function (v) { seen.push(v); }, get: function () { return 'inherited'; }});"));
  ComPtr<IDispatchEx> object = Construct(u"Object");
  ASSERT_EQ(Put(object.Get(), u"plain", Variant::FromLong(1)), S_OK);
  ASSERT_EQ(Put(object.Get(), u"watched", Variant::FromString(u"w")), S_OK);
  Expose(u"made", object.Get());
  EXPECT_EQ(Text("seen.join(',') + ':' + Object.keys(made).join(',') + ':' + made.watched"), u"w:plain:inherited");
  ASSERT_TRUE(Run("delete Object.prototype.watched;"));
}

TEST_F(BatchedCallsTest, AnObjectScriptHasSeenIsWrittenAtOnce) {
  ComPtr<IDispatchEx> object = Construct(u"Object");
  ASSERT_EQ(Put(object.Get(), u"a", Variant::FromLong(1)), S_OK);
  Expose(u"made", object.Get());
  ASSERT_TRUE(Run("Object.freeze(made);"));
  // Now a put can fail, and says so.
  EXPECT_TRUE(FAILED(Put(object.Get(), u"b", Variant::FromLong(2))));
  EXPECT_EQ(Text("Object.keys(made).join(',')"), u"a");
}

TEST_F(BatchedCallsTest, ElementsReadThroughComFollowScriptChanges) {
  ASSERT_TRUE(Run("var list = []; for (var i = 0; i < 300; i++) list.push(i % 2 ? i : 's' + i);"
                  "list[7] = undefined; delete list[9]; list[10] = {k: 10};"));
  Variant list;
  ASSERT_EQ(Get(global_.Get(), u"list", &list), S_OK);
  Variant v;
  ASSERT_EQ(Element(list.pdispVal, 0, &v), S_OK);
  EXPECT_EQ(browsertest::Text(v), u"s0");
  ASSERT_EQ(Element(list.pdispVal, 1, &v), S_OK);
  EXPECT_EQ(v.lVal, 1);
  ASSERT_EQ(Element(list.pdispVal, 7, &v), S_OK) << "present, undefined";
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(Element(list.pdispVal, 9, &v), DISP_E_UNKNOWNNAME) << "a hole";
  ASSERT_EQ(Element(list.pdispVal, 10, &v), S_OK);
  Variant k;
  ASSERT_EQ(Get(v.pdispVal, u"k", &k), S_OK);
  EXPECT_EQ(k.lVal, 10);

  // Script changes elements between two reads: the second read sees it.
  ASSERT_EQ(Element(list.pdispVal, 11, &v), S_OK);
  ASSERT_TRUE(Run("delete list[14];"));
  DISPID id;
  EXPECT_EQ(IdOf(list.pdispVal, u"14", &id), DISP_E_UNKNOWNNAME) << "read ahead before the delete";
  ASSERT_TRUE(Run("list[12] = 'changed'; list[13] = 'gone'; list.length = 13;"));
  ASSERT_EQ(Element(list.pdispVal, 12, &v), S_OK);
  EXPECT_EQ(browsertest::Text(v), u"changed");
  EXPECT_EQ(Element(list.pdispVal, 13, &v), DISP_E_UNKNOWNNAME);
  // Reading the same element twice gives it twice.
  Variant again;
  ASSERT_EQ(Element(list.pdispVal, 12, &again), S_OK);
  EXPECT_EQ(browsertest::Text(again), u"changed");
  // A put through COM is seen by the next read.
  ASSERT_EQ(Element(list.pdispVal, 5, &v), S_OK);
  ComPtr<IDispatchEx> ex;
  ASSERT_EQ(ComPtr<IDispatch>(list.pdispVal).QueryInterface(IID_IDispatchEx, std::addressof(ex)), S_OK);
  ASSERT_EQ(Put(ex.Get(), u"6", Variant::FromString(u"put")), S_OK);
  ASSERT_EQ(Element(list.pdispVal, 6, &v), S_OK);
  EXPECT_EQ(browsertest::Text(v), u"put");
}

TEST_F(BatchedCallsTest, ElementsOfAProxyGoThroughItsTraps) {
  ASSERT_TRUE(Run("var reads = 0;"
                  "var proxied = new Proxy([1, 2, 3], {get: function (t, k) { if (k !== 'length') reads++; return t[k]; }});"));
  Variant proxied, v;
  ASSERT_EQ(Get(global_.Get(), u"proxied", &proxied), S_OK);
  ASSERT_EQ(Element(proxied.pdispVal, 1, &v), S_OK);
  EXPECT_EQ(v.lVal, 2);
  EXPECT_EQ(Text("reads"), u"1") << "one element read, none ahead";
}

TEST_F(BatchedCallsTest, ClosingWithWritesWaitingLosesNothingElse) {
  ComPtr<IDispatchEx> array = Construct(u"Array");
  ComPtr<IDispatchEx> object = Construct(u"Object");
  ASSERT_EQ(Push(array.Get(), Variant::FromString(u"waiting")), S_OK);
  ASSERT_EQ(Put(object.Get(), u"m", Variant::FromString(u"waiting")), S_OK);
  doc_->Close();
  EXPECT_EQ(Push(array.Get(), Variant::FromLong(1)), E_UNEXPECTED);
  EXPECT_EQ(Put(object.Get(), u"m", Variant::FromLong(1)), E_UNEXPECTED);
  array.Release();
  object.Release();
}

}  // namespace
