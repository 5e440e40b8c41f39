#include <gtest/gtest.h>

#include "platform/ComPtr.h"
#include "platform/JsonDispatch.h"

namespace {

Variant Make(VARTYPE vt, auto setter) {
  Variant v;
  v.vt = vt;
  setter(v);
  return v;
}

HRESULT Change(const VARIANT& src, VARTYPE vt, Variant* out) { return VariantChangeType(out, &src, 0, vt); }

TEST(Bstr, LengthPrefixNulAndNull) {
  long before = SysAllocatedCount();
  BSTR s = SysAllocString(u"h\u00E9llo");
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(SysStringByteLen(s), 10u);
  EXPECT_EQ(s[5], u'\0');
  BSTR withNul = SysAllocStringLen(u"a\0b", 3);
  EXPECT_EQ(SysStringLen(withNul), 3u) << "the prefix, not a NUL, gives the length";
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(s);
  SysFreeString(withNul);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocatedCount(), before);
}

TEST(VariantChangeType, ToI4) {
  Variant out;
  EXPECT_EQ(Change(Make(VT_R8, [](VARIANT& v) { v.dblVal = 2.5; }), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 2) << "reals round half to even";
  EXPECT_EQ(Change(Make(VT_R8, [](VARIANT& v) { v.dblVal = 3.5; }), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 4);
  EXPECT_EQ(Change(Make(VT_I8, [](VARIANT& v) { v.llVal = 7; }), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 7);
  EXPECT_EQ(Change(Make(VT_I8, [](VARIANT& v) { v.llVal = 1LL << 40; }), VT_I4, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Change(Make(VT_UI4, [](VARIANT& v) { v.ulVal = 3000000000u; }), VT_I4, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(Change(Variant::FromString(u" 42 "), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, 42);
  EXPECT_EQ(Change(Variant::FromString(u"4x"), VT_I4, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(Make(VT_NULL, [](VARIANT&) {}), VT_I4, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(Make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), VT_I4, &out), S_OK);
  EXPECT_EQ(out.lVal, -1);
}

TEST(VariantChangeType, ToBoolKeepsAnErrorCodesBits) {
  Variant out;
  EXPECT_EQ(Change(Make(VT_ERROR, [](VARIANT& v) { v.scode = 1; }), VT_BOOL, &out), S_OK);
  EXPECT_EQ(out.boolVal, 1) << "not VARIANT_TRUE";
  EXPECT_EQ(Change(Make(VT_I4, [](VARIANT& v) { v.lVal = 5; }), VT_BOOL, &out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Change(Variant::FromString(u"false"), VT_BOOL, &out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(Variant::FromString(u"maybe"), VT_BOOL, &out), DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, ToBstrAndR8) {
  Variant out;
  ASSERT_EQ(Change(Make(VT_I4, [](VARIANT& v) { v.lVal = -12; }), VT_BSTR, &out), S_OK);
  EXPECT_EQ(std::u16string(out.bstrVal), u"-12");
  ASSERT_EQ(Change(Make(VT_R8, [](VARIANT& v) { v.dblVal = 0.5; }), VT_BSTR, &out), S_OK);
  EXPECT_EQ(std::u16string(out.bstrVal), u"0.5");
  Variant nullText = Make(VT_BSTR, [](VARIANT& v) { v.bstrVal = nullptr; });
  ASSERT_EQ(Change(nullText, VT_BSTR, &out), S_OK);
  ASSERT_EQ(Change(Variant::FromString(u"1.25"), VT_R8, &out), S_OK);
  EXPECT_DOUBLE_EQ(out.dblVal, 1.25);
  Variant dispatch = Make(VT_DISPATCH, [](VARIANT& v) { v.pdispVal = nullptr; });
  EXPECT_EQ(Change(dispatch, VT_R8, &out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(Make(VT_I4 | VT_BYREF, [](VARIANT& v) { v.byref = nullptr; }), VT_I4, &out),
            DISP_E_TYPEMISMATCH);
}

TEST(VariantCopy, CopiesOwnedContentAndCountsReferences) {
  long before = SysAllocatedCount();
  {
    Variant a = Variant::FromString(u"text");
    Variant b(a);
    EXPECT_NE(a.bstrVal, b.bstrVal);
    EXPECT_EQ(std::u16string(b.bstrVal), u"text");
  }
  EXPECT_EQ(SysAllocatedCount(), before);
  IDispatch* obj = CJsonDispatch::Create(Json::Value(Json::objectValue)).Detach();
  {
    Variant a = Variant::FromDispatch(obj);
    Variant b(a);
  }
  EXPECT_EQ(obj->Release(), 0u) << "copies released what they added";
}

TEST(Guid, ParsesAndFormats) {
  constexpr GUID g = MakeGuid("{8856F961-340A-11D0-A96B-00C04FD705A2}");
  EXPECT_EQ(g.Data1, 0x8856F961u);
  EXPECT_EQ(g.Data4[7], 0xA2);
  EXPECT_EQ(GuidToString(g), "{8856F961-340A-11D0-A96B-00C04FD705A2}");
  GUID out;
  EXPECT_TRUE(GuidFromString("5e0a7c21-9b3d-4f18-a6c4-2d91e07b3f58", &out));
  EXPECT_FALSE(GuidFromString("5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F5", &out));
  EXPECT_FALSE(GuidFromString("5E0A7C21+9B3D-4F18-A6C4-2D91E07B3F58", &out));
  EXPECT_FALSE(GuidFromString("{5E0A7C21-9B3D-4F18-A6C4-2D91E07B3FZ8}", &out));
}

}  // namespace
