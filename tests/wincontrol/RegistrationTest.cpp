// The DLL from a program that is not our host: its type library against the
// interface header, registration round trips, and that no other container
// can create the control.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "ControlHarness.h"
#include "control/win32/WideText.h"

namespace {

const wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58}";

// Every member of IPrinterControl with the slot the header gives it.
std::map<std::string, int> HeaderSlots() {
  std::ifstream in("Z:" KX_CONTROL_HEADER);
  std::stringstream text;
  text << in.rdbuf();
  std::map<std::string, int> slots;
  const std::string all = text.str();
  const std::string body = all.substr(all.find("struct IPrinterControl"), all.find("struct IPrinterEvent") -
                                                                            all.find("struct IPrinterControl"));
  std::regex member(R"(STDMETHODCALLTYPE (\w+)\([^)]*\) = 0;\s*// (\d+))");
  for (std::sregex_iterator it(body.begin(), body.end(), member), end; it != end; ++it)
    slots[(*it)[1]] = std::stoi((*it)[2]);
  return slots;
}

ComPtr<ITypeInfo> InterfaceInfo(ITypeLib* library, REFIID iid) {
  ComPtr<ITypeInfo> info;
  if (FAILED(library->GetTypeInfoOfGuid(iid, &info))) return {};
  TYPEATTR* attr = nullptr;
  info->GetTypeAttr(&attr);
  const bool dispatch = attr->typekind == TKIND_DISPATCH;
  info->ReleaseTypeAttr(attr);
  if (!dispatch) return info;
  // A dual interface's dispatch part; its vtable part holds the slots.
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> vtable;
  if (FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) || FAILED(info->GetRefTypeInfo(ref, &vtable)))
    return {};
  return vtable;
}

std::string Name(ITypeInfo* info, MEMBERID id) {
  BSTR name = nullptr;
  UINT count = 0;
  info->GetNames(id, &name, 1, &count);
  std::string text = BstrText(name);
  ::SysFreeString(name);
  return text;
}

std::string TypeText(const TYPEDESC& type) {
  if (type.vt == VT_PTR) return "*" + TypeText(*type.lptdesc);
  return std::to_string(type.vt);
}

class TypeLibrary : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_HRESULT_SUCCEEDED(::LoadTypeLibEx(ControlDllPath().c_str(), REGKIND_NONE, &m_library)); }
  ComPtr<ITypeLib> m_library;
};

TEST_F(TypeLibrary, EveryMemberSitsInTheSlotTheHeaderGivesIt) {
  const std::map<std::string, int> expected = HeaderSlots();
  ASSERT_EQ(expected.size(), 77u);
  ComPtr<ITypeInfo> info = InterfaceInfo(m_library, IID_IPrinterControl);
  ASSERT_TRUE(info);
  TYPEATTR* attr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&attr));
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  std::map<std::string, int> slots;
  std::map<std::string, std::string> params;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_HRESULT_SUCCEEDED(info->GetFuncDesc(i, &func));
    const std::string name = Name(info, func->memid);
    slots[name] = func->oVft / static_cast<int>(sizeof(void*));
    std::string types;
    for (SHORT p = 0; p < func->cParams; ++p) types += TypeText(func->lprgelemdescParam[p].tdesc) + " ";
    params[name] = types;
    info->ReleaseFuncDesc(func);
  }
  info->ReleaseTypeAttr(attr);
  EXPECT_EQ(slots, expected);
  // Automation types, as the vtable has them (VT_DISPATCH 9, VT_BOOL 11,
  // VT_VARIANT 12, VT_BSTR 8, VT_I4 3; "*" a pointer).
  EXPECT_EQ(params["print"], "9 11 ");
  EXPECT_EQ(params["getPrinters"], "*12 ");
  EXPECT_EQ(params["getVersion"], "*8 ");
  EXPECT_EQ(params["getPrinterStatus"], "8 11 *12 ");
  EXPECT_EQ(params["isImplemented"], "8 *3 ");
  EXPECT_EQ(params["setHostCode"], "3 ");

  // Its base is stdole's IDispatch, not a copy of it.
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> base;
  ASSERT_HRESULT_SUCCEEDED(info->GetRefTypeOfImplType(0, &ref));
  ASSERT_HRESULT_SUCCEEDED(info->GetRefTypeInfo(ref, &base));
  ComPtr<ITypeLib> baseLibrary;
  UINT index = 0;
  ASSERT_HRESULT_SUCCEEDED(base->GetContainingTypeLib(&baseLibrary, &index));
  TLIBATTR* libAttr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(baseLibrary->GetLibAttr(&libAttr));
  EXPECT_EQ(GuidToString(libAttr->guid), "{00020430-0000-0000-C000-000000000046}");
  baseLibrary->ReleaseTLibAttr(libAttr);
}

TEST_F(TypeLibrary, EventsHaveTheListenersDispatchIds) {
  ComPtr<ITypeInfo> info;
  ASSERT_HRESULT_SUCCEEDED(m_library->GetTypeInfoOfGuid(IID_IPrinterEvent, &info));
  std::map<std::string, int> ids;
  TYPEATTR* attr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&attr));
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_HRESULT_SUCCEEDED(info->GetFuncDesc(i, &func));
    if (func->memid > 0 && func->memid < 100) ids[Name(info, func->memid)] = func->memid;
    info->ReleaseFuncDesc(func);
  }
  info->ReleaseTypeAttr(attr);
  EXPECT_EQ(ids, (std::map<std::string, int>{{"OnDone", 1}, {"OnJobState", 2}, {"OnMessage", 3}}));
}

std::string RegistryText(HKEY root, const std::wstring& path, const wchar_t* value) {
  wchar_t data[1024];
  DWORD size = sizeof data;
  if (::RegGetValueW(root, path.c_str(), value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) return "<none>";
  return Narrow(data);
}

TEST(Registration, PerUserRegistersTheClassAndLeavesTheRegistryAsItWas) {
  const std::string before = DumpRegistry(HKEY_CURRENT_USER, L"Software\\Classes");
  const std::string machineBefore = DumpRegistry(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID");
  ASSERT_HRESULT_SUCCEEDED(CallRegistration("DllRegisterServer"));
  const std::wstring server = std::wstring(kClassKey) + L"\\InprocServer32";
  EXPECT_EQ(RegistryText(HKEY_CURRENT_USER, server, nullptr), Narrow(ControlDllPath()));
  EXPECT_EQ(RegistryText(HKEY_CURRENT_USER, server, L"ThreadingModel"), "Apartment");
  EXPECT_EQ(RegistryText(HKEY_CURRENT_USER,
                         L"Software\\Classes\\TypeLib\\{C60E349A-383D-4BD8-8A0F-A153A7577D0B}\\1.0\\0\\win32", nullptr),
            Narrow(ControlDllPath()));
  // Nothing says "safe for scripting" for every container.
  EXPECT_EQ(DumpRegistry(HKEY_CURRENT_USER, std::wstring(kClassKey) + L"\\Implemented Categories"), "");
  EXPECT_EQ(DumpRegistry(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID"), machineBefore);
  ASSERT_HRESULT_SUCCEEDED(CallRegistration("DllUnregisterServer"));
  EXPECT_EQ(DumpRegistry(HKEY_CURRENT_USER, L"Software\\Classes"), before);
}

TEST(Registration, PerMachineRegistersForEveryUserAndLeavesTheRegistryAsItWas) {
  const std::string before = DumpRegistry(HKEY_LOCAL_MACHINE, L"Software\\Classes");
  EXPECT_EQ(CallDllInstall(true, L"everyone"), E_INVALIDARG);
  ASSERT_HRESULT_SUCCEEDED(CallDllInstall(true, L"machine"));
  EXPECT_EQ(RegistryText(HKEY_LOCAL_MACHINE, std::wstring(kClassKey) + L"\\InprocServer32", L"ThreadingModel"),
            "Apartment");
  // The listener's type library is found by its id (wine reads the
  // machine's registration only, so this is checked here).
  ComPtr<ITypeLib> library;
  EXPECT_HRESULT_SUCCEEDED(::LoadRegTypeLib(LIBID_KESTRIXPRINTERLib, 1, 0, LOCALE_USER_DEFAULT, &library));
  library.Release();
  ASSERT_HRESULT_SUCCEEDED(CallDllInstall(false, L"machine"));
  EXPECT_EQ(DumpRegistry(HKEY_LOCAL_MACHINE, L"Software\\Classes"), before);
}

// Wine's COM reads classes from the machine's registration only, so the
// programs that create the control register it there.
TEST(ForeignContainer, CannotCreateTheControl) {
  ASSERT_HRESULT_SUCCEEDED(CallDllInstall(true, L"machine"));
  ::CoInitialize(nullptr);
  IUnknown* control = nullptr;
  EXPECT_EQ(::CoCreateInstance(CLSID_KestrixPrinter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&control)),
            E_ACCESSDENIED);
  EXPECT_EQ(control, nullptr);
  if (control) control->Release();
  ::CoUninitialize();
  EXPECT_HRESULT_SUCCEEDED(CallDllInstall(false, L"machine"));
}

}  // namespace
