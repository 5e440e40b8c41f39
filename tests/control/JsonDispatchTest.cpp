// The Json-backed IDispatchEx objects the control hands out, and the reader
// that turns the page's objects into JSON.
#include <gtest/gtest.h>

#include <map>

#include "control/base/ControlText.h"
#include "control/members/AutomationToJson.h"
#include "platform/JsonDispatch.h"
#include "platform/webbrowser/HtmlDocument.h"

namespace {
Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::Reader().parse(text, v);
  return v;
}

HRESULT GetByName(IDispatch* object, const std::string& name, Variant* out) {
  std::u16string wide = Utf8ToUtf16(name);
  LPOLESTR names[1] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, out, nullptr, nullptr);
}

std::vector<std::string> Enumerate(IDispatch* object) {
  ComPtr<IDispatchEx> ex;
  ComPtr<IDispatch>(object).QueryInterface(IID_IDispatchEx, std::addressof(ex));
  std::vector<std::string> names;
  if (!ex) return names;
  DISPID id = DISPID_STARTENUM;
  while (ex->GetNextDispID(fdexEnumAll, id, &id) == S_OK) {
    Bstr name;
    EXPECT_EQ(ex->GetMemberName(id, &name), S_OK);
    names.push_back(BstrToUtf8(name.Get()));
    if (names.size() > 100) break;
  }
  EXPECT_EQ(id, DISPID_STARTENUM);
  return names;
}

// A plain IDispatch (no member listing) answering fixed names; "self" is itself.
class NamedObject : public IDispatch {
 public:
  explicit NamedObject(std::map<std::string, Json::Value> members) : m_members(std::move(members)) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG left = --m_refs;
    if (!left) delete this;
    return left;
  }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    std::string name = Utf16ToUtf8(names[0]);
    if (name == "self") {
      ids[0] = 1000;
      return S_OK;
    }
    int i = 1;
    for (auto& [key, value] : m_members) {
      if (key == name) {
        ids[0] = i;
        return S_OK;
      }
      ++i;
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* out, EXCEPINFO*, UINT*) override {
    if (id == 1000) {
      VariantClear(out);
      out->vt = VT_DISPATCH;
      out->pdispVal = this;
      AddRef();
      return S_OK;
    }
    int i = 1;
    for (auto& [key, value] : m_members) {
      if (i++ == id) {
        JsonToResultVariant(value, out);
        return S_OK;
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  virtual ~NamedObject() = default;
  std::map<std::string, Json::Value> m_members;
  ULONG m_refs = 0;
};
}  // namespace

TEST(JsonDispatch, ObjectAnswersMembersByNameAndListsThemAll) {
  ComPtr<IDispatch> object = CJsonDispatch::Create(Parse(R"({"b": 1, "a": "x\u00e9", "n": null, "o": {"k": true}})"));
  Variant value;
  ASSERT_EQ(GetByName(object.Get(), "a", &value), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(BstrToUtf8(value.bstrVal), "x\xC3\xA9");
  ASSERT_EQ(GetByName(object.Get(), "b", &value), S_OK);
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 1);
  ASSERT_EQ(GetByName(object.Get(), "n", &value), S_OK);
  EXPECT_EQ(value.vt, VT_NULL);
  ASSERT_EQ(GetByName(object.Get(), "o", &value), S_OK);
  ASSERT_EQ(value.vt, VT_DISPATCH);
  Variant inner;
  ASSERT_EQ(GetByName(value.pdispVal, "k", &inner), S_OK);
  EXPECT_EQ(inner.vt, VT_BOOL);
  EXPECT_EQ(inner.boolVal, VARIANT_TRUE);

  // An object is not an array: no "length", and unknown names fail.
  EXPECT_EQ(GetByName(object.Get(), "length", &value), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(GetByName(object.Get(), "A", &value), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(Enumerate(object.Get()), (std::vector<std::string>{"a", "b", "n", "o"}));

  // A name that is not valid UTF-8 is listed with its bad bytes replaced,
  // and found by the name it is listed as.
  Json::Value odd(Json::objectValue);
  odd["p\xff"] = 7;
  ComPtr<IDispatch> oddObject = CJsonDispatch::Create(odd);
  ASSERT_EQ(Enumerate(oddObject.Get()), (std::vector<std::string>{"p\xEF\xBF\xBD"}));
  ASSERT_EQ(GetByName(oddObject.Get(), "p\xEF\xBF\xBD", &value), S_OK);
  EXPECT_EQ(value.lVal, 7);
}

TEST(JsonDispatch, ArrayAnswersLengthAndIndexesButListsOnlyIndexes) {
  ComPtr<IDispatch> array = CJsonDispatch::Create(Parse(R"(["p", 2.5, [1]])"));
  Variant value;
  ASSERT_EQ(GetByName(array.Get(), "length", &value), S_OK);
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 3);
  ASSERT_EQ(GetByName(array.Get(), "1", &value), S_OK);
  EXPECT_EQ(value.vt, VT_R8);
  EXPECT_DOUBLE_EQ(value.dblVal, 2.5);
  EXPECT_EQ(GetByName(array.Get(), "3", &value), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(GetByName(array.Get(), "01", &value), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(GetByName(array.Get(), "-1", &value), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(Enumerate(array.Get()), (std::vector<std::string>{"0", "1", "2"}));
}

TEST(JsonDispatch, CaseInsensitiveLookupOnlyWhenAsked) {
  ComPtr<IDispatch> object = CJsonDispatch::Create(Parse(R"({"Name": 1})"));
  ComPtr<IDispatchEx> ex;
  ASSERT_EQ(object.QueryInterface(IID_IDispatchEx, std::addressof(ex)), S_OK);
  Bstr name = Bstr::Attach(Utf8ToBstr("name"));
  DISPID id = 0;
  EXPECT_EQ(ex->GetDispID(name.Get(), fdexNameCaseSensitive, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ex->GetDispID(name.Get(), fdexNameCaseInsensitive, &id), S_OK);
  Bstr member;
  ASSERT_EQ(ex->GetMemberName(id, &member), S_OK);
  EXPECT_EQ(BstrToUtf8(member.Get()), "Name");
}

TEST(JsonDispatch, ResultsReadBackAsTheSameJson) {
  Json::Value doc = Parse(R"({"printers": ["kx-pdf", "kx-raw"], "paper": {"name": "iso_a4_210x297mm",
      "width": 209.9, "margins": {"top": 4.9}}, "ok": false, "count": -7, "empty": {}, "none": [],
      "text": "\u20ac \u00fc"})");
  Variant v;
  JsonToResultVariant(doc, &v);
  ASSERT_EQ(v.vt, VT_DISPATCH);
  EXPECT_EQ(VariantToJsonValue(v), doc);
  // Scalars stay scalars.
  JsonToResultVariant(Json::Value("plain"), &v);
  EXPECT_EQ(v.vt, VT_BSTR);
  JsonToResultVariant(Json::Value(Json::UInt64(5000000000ull)), &v);
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_DOUBLE_EQ(v.dblVal, 5e9);
}

TEST(AutomationToJson, ObjectsWithoutMemberListingAreReadThroughKnownNames) {
  std::map<std::string, Json::Value> members = {{"html", "<p>x</p>"}, {"copies", 2}, {"secret", "not asked"}};
  ComPtr<IDispatch> object(new NamedObject(members));
  Json::Value job = DispatchToJson(object.Get(), {"html", "copies", "printer"});
  EXPECT_EQ(job["html"], "<p>x</p>");
  EXPECT_EQ(job["copies"], 2);
  EXPECT_FALSE(job.isMember("printer"));  // not there: left out
  EXPECT_FALSE(job.isMember("secret"));   // not asked for
}

TEST(AutomationToJson, ObjectThatContainsItselfStopsAtTheDepthBound) {
  ComPtr<IDispatch> object(new NamedObject({}));
  DispatchReadLimits limits;
  limits.maxDepth = 5;
  Json::Value read = DispatchToJson(object.Get(), {"self"}, limits);
  int depth = 0;
  const Json::Value* at = &read;
  while (at->isObject() && at->isMember("self")) {
    at = &(*at)["self"];
    ++depth;
  }
  EXPECT_TRUE(at->isNull());
  EXPECT_EQ(depth, 5);
}

TEST(AutomationToJson, MemberBoundCutsHugeArrays) {
  Json::Value big(Json::arrayValue);
  for (int i = 0; i < 500; ++i) big.append(i);
  ComPtr<IDispatch> array = CJsonDispatch::Create(big);
  DispatchReadLimits limits;
  limits.maxMembers = 100;
  Json::Value read = DispatchToJson(array.Get(), {}, limits);
  ASSERT_TRUE(read.isArray());
  EXPECT_EQ(read.size(), 100u);
  EXPECT_EQ(read[99], 99);
}

TEST(AutomationToJson, ScriptNumbersThatAreWholeReadAsIntegers) {
  Variant v = Variant::FromDouble(3.0);
  EXPECT_TRUE(VariantToJsonValue(v).isInt());
  v = Variant::FromDouble(2.5);
  EXPECT_TRUE(VariantToJsonValue(v).isDouble());
  v = Variant::FromDouble(1e300);
  EXPECT_TRUE(VariantToJsonValue(v).isDouble());
}

TEST(AutomationToJson, ArraysAreToldByWhatTheyAreNotByALengthMember) {
  ComPtr<HtmlDocument> doc = HtmlDocument::LoadText(R"(<html><head><script>
    var label = {width: 62, length: 3};
    var sparse = [1, , "x"]; sparse[5] = true;
    var tagged = [1, 2]; tagged.note = "dropped";
    var counted = {length: 2, 0: "a", 1: "b"};
  </script></head><body></body></html>)", nullptr);
  ASSERT_TRUE(doc);
  doc->RunPageScripts();
  ComPtr<IDispatch> global;
  ASSERT_EQ(doc->get_Script(&global), S_OK);
  auto read = [&](const char* name) {
    Variant value;
    EXPECT_TRUE(ReadMember(global.Get(), name, &value)) << name;
    return VariantToJsonValue(value);
  };
  EXPECT_EQ(read("label"), Parse(R"({"width": 62, "length": 3})"));
  EXPECT_EQ(read("sparse"), Parse(R"([1, null, "x", null, null, true])"));
  EXPECT_EQ(read("tagged"), Parse("[1, 2]"));
  // An object that lists its "length" is an object, whatever the value.
  EXPECT_EQ(read("counted"), Parse(R"({"0": "a", "1": "b", "length": 2})"));
  global.Release();
  doc->Close();

  // The control's own objects answer the same way.
  Json::Value label = Parse(R"({"width": 62, "length": 3, "items": [[], {"length": 0}]})");
  EXPECT_EQ(DispatchToJson(CJsonDispatch::Create(label).Get()), label);
}
