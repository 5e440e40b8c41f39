// The site's files, kept settings and device ids through the control as the
// host calls it, sited in the bootstrap page: each page's site is its own,
// and no spelling of a Windows path takes one site into another's folder.
// The user's folders (%APPDATA%, %LOCALAPPDATA%) point into a fresh folder.
#include <gtest/gtest.h>

#include <algorithm>

#include "ControlHarness.h"  // windows.h before shellapi.h
#include <shellapi.h>

#include "control/formats/Base64.h"
#include "control/formats/SystemInfo.h"
#include "control/win32/WideText.h"

namespace {

std::wstring g_root;  // this run's user folders
const std::vector<std::string> kRefused = {"pathRefused"};

std::string ReadDisk(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  char buffer[4096];
  DWORD n = 0;
  ::ReadFile(h, buffer, sizeof buffer, &n, nullptr);
  ::CloseHandle(h);
  return std::string(buffer, n);
}

std::vector<std::string> Listing(const std::wstring& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..")
      names.push_back(Narrow(found.cFileName));
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring FilesOf(const wchar_t* site) { return g_root + L"\\local\\Kestrix\\files\\" + site; }

class Bstr {
 public:
  explicit Bstr(const std::string& text) {
    const std::wstring wide = Wide(text);
    m_text = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  ~Bstr() { ::SysFreeString(m_text); }
  operator BSTR() const { return m_text; }

 private:
  BSTR m_text;
};

// A control sited in the bootstrap page, whose page is at address.
struct Page {
  ComPtr<IPrinterControl> control;
  ComPtr<EventRecorder> sink;

  explicit Page(const wchar_t* address) {
    EXPECT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_KestrixPrinter, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IPrinterControl, reinterpret_cast<void**>(&control)));
    ComPtr<IObjectWithSite> withSite;
    control->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite));
    EXPECT_HRESULT_SUCCEEDED(withSite->SetSite(MakeSiteAt(BootstrapPageAddressOfThisProgram())));
    EXPECT_HRESULT_SUCCEEDED(control->setPageURL(Bstr(Narrow(address))));
    sink = EventRecorder::Create();
    DWORD cookie = 0;
    EXPECT_HRESULT_SUCCEEDED(Advise(control, sink.Get(), &cookie));
  }
  // The error codes the control reported since the last call (events are
  // posted during the member call: one pass of the message loop delivers them).
  std::vector<std::string> Errors() {
    PumpUntil([] { return false; }, 0);
    std::vector<std::string> codes;
    for (const auto& event : sink->events)
      if (event["event"] == "message") codes.push_back(event["object"]["code"].asString());
    sink->events.clear();
    return codes;
  }
  bool Write(const std::string& path, const std::string& text) {
    BOOL written = FALSE;
    EXPECT_HRESULT_SUCCEEDED(control->writeString(Bstr(path), Bstr(text), Bstr(""), &written));
    return written != FALSE;
  }
  std::string Read(const std::string& path) {
    BSTR text = nullptr;
    EXPECT_HRESULT_SUCCEEDED(control->readString(Bstr(path), Bstr(""), &text));
    std::string out = text ? BstrText(text) : "<none>";
    ::SysFreeString(text);
    return out;
  }
  std::string Text(HRESULT (STDMETHODCALLTYPE IPrinterControl::*member)(BSTR*)) {
    BSTR text = nullptr;
    EXPECT_HRESULT_SUCCEEDED((control.Get()->*member)(&text));
    std::string out = BstrText(text);
    ::SysFreeString(text);
    return out;
  }
};

class SiteFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_HRESULT_SUCCEEDED(CallDllInstall(true, L"machine"));
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    // Wine gives small process ids again: the time makes the folder new.
    g_root = std::wstring(temp) + L"kx-sitefiles-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(::GetTickCount());
    ::SetEnvironmentVariableW(L"APPDATA", (g_root + L"\\roaming").c_str());
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", (g_root + L"\\local").c_str());
    ::CreateDirectoryW(g_root.c_str(), nullptr);
    // "\\x" is on the current drive: the drive of the files (wine starts programs on Z:).
    ::SetCurrentDirectoryW(g_root.c_str());
  }
  static void TearDownTestSuite() {
    CallDllInstall(false, L"machine");
    ::SetCurrentDirectoryW(L"C:\\");  // a folder that is in use is not removed
    std::wstring from = g_root + L'\0';  // a list of names, ended by an empty one
    SHFILEOPSTRUCTW remove{};
    remove.wFunc = FO_DELETE;
    remove.pFrom = from.c_str();
    remove.fFlags = FOF_NO_UI;
    ::SHFileOperationW(&remove);
  }
  void SetUp() override { ::CoInitialize(nullptr); }
  void TearDown() override { ::CoUninitialize(); }
};

TEST_F(SiteFiles, ASiteWritesReadsAndCopiesInItsOwnFolder) {
  Page page(L"https://Shop.example:443/labels/print.htm");
  ASSERT_TRUE(page.Write("notes/hello.txt", "Grüße"));
  EXPECT_EQ(page.Read("notes/hello.txt"), "Grüße");
  EXPECT_EQ(ReadDisk(FilesOf(L"https_shop.example") + L"\\notes\\hello.txt"), "Grüße");
  BOOL written = FALSE;
  // Every byte value through base64, then copied.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const std::string base64 = Base64Encode(all);
  ASSERT_HRESULT_SUCCEEDED(page.control->writeBase64(Bstr("bytes.bin"), Bstr("data:;base64," + base64), &written));
  EXPECT_TRUE(written);
  ASSERT_HRESULT_SUCCEEDED(page.control->copy(Bstr("bytes.bin"), Bstr("archive\\b.bin")));
  EXPECT_EQ(ReadDisk(FilesOf(L"https_shop.example") + L"\\archive\\b.bin"), all);
  BSTR text = nullptr;
  ASSERT_HRESULT_SUCCEEDED(page.control->readBase64(Bstr("archive/b.bin"), &text));
  EXPECT_EQ(BstrText(text), base64);
  ::SysFreeString(text);
  text = nullptr;
  ASSERT_HRESULT_SUCCEEDED(page.control->copied(Bstr("archive/b.bin"), &text));
  EXPECT_EQ(::lstrcmpiW(text, (FilesOf(L"https_shop.example") + L"\\archive\\b.bin").c_str()), 0) << BstrText(text);
  ::SysFreeString(text);
  EXPECT_EQ(page.Errors(), std::vector<std::string>());
}

// The other site's folder by every spelling a page could try. Each must give
// nothing and an error; none may write there.
TEST_F(SiteFiles, NoSpellingOfAPathReachesAnotherSitesFiles) {
  Page owner(L"https://bank.example/");
  ASSERT_TRUE(owner.Write("secret.txt", "owner's secret"));
  const std::wstring folder = FilesOf(L"https_bank.example");
  const std::vector<std::string> before = Listing(folder);
  Page other(L"https://evil.example/");
  ASSERT_TRUE(other.Write("own.txt", "mine"));  // its folder exists

  wchar_t shortName[MAX_PATH] = L"";
  ::GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
  std::string shortFolder = Narrow(shortName);
  shortFolder = shortFolder.substr(shortFolder.rfind('\\') + 1);
  const std::string absolute = Narrow(folder);
  std::string noDrive = absolute.substr(2);  // "\users\...": the current drive's
  std::vector<std::string> spellings = {
      "../https_bank.example/secret.txt",
      "..\\https_bank.example\\secret.txt",
      absolute + "\\secret.txt",
      noDrive + "\\secret.txt",
      "\\\\?\\" + absolute + "\\secret.txt",
      "\\\\.\\" + absolute + "\\secret.txt",
      "\\\\localhost\\" + absolute.substr(0, 1) + "$" + noDrive + "\\secret.txt",
      "//localhost/" + absolute.substr(0, 1) + "$" + noDrive + "/secret.txt",
      absolute.substr(0, 2) + "..\\https_bank.example\\secret.txt",  // "C:..": relative to the drive's folder
      "../https_bank.example./secret.txt",
      "../https_bank.example /secret.txt",
      "../https_bank.example::$INDEX_ALLOCATION/secret.txt",
      "../" + shortFolder + "/secret.txt",
  };
  for (const std::string& path : spellings) {
    EXPECT_EQ(other.Read(path), "<none>") << path;
    EXPECT_EQ(other.Errors(), kRefused) << path;
    std::string target = path;
    target.replace(target.rfind("secret.txt"), 10, "planted.txt");
    EXPECT_FALSE(other.Write(target, "planted")) << target;
    EXPECT_EQ(other.Errors(), kRefused) << target;
    EXPECT_FALSE(other.Write(path, "overwritten")) << path;
    other.Errors();
  }
  EXPECT_EQ(Listing(folder), before);
  EXPECT_EQ(ReadDisk(folder + L"\\secret.txt"), "owner's secret");
}

// Names the system reads as something else than a file of that name: a
// device, a stream of another file, a name it cuts short. Writing one would
// be a silent success or a file beyond the room's count.
TEST_F(SiteFiles, NamesTheSystemTakesForSomethingElseAreRefused) {
  Page page(L"https://names.example/");
  ASSERT_TRUE(page.Write("note.txt", "plain"));
  for (const char* name : {"CON", "nul", "NUL.txt", "COM1", "aux.txt", "lpt1.log", "sub/prn", "conin$",
                                  "note.txt:hidden", "note.txt::$DATA", "note.txt.", "note.txt ", "dots...",
                                  "tab\tname", "sub./x.txt"}) {
    EXPECT_FALSE(page.Write(name, "x")) << name;
    EXPECT_EQ(page.Errors(), kRefused) << name;
    EXPECT_EQ(page.Read(name), "<none>") << name;
    page.Errors();
  }
  EXPECT_EQ(Listing(FilesOf(L"https_names.example")), std::vector<std::string>{"note.txt"});
  EXPECT_EQ(page.Read("note.txt"), "plain");
}

// openFile hands documents to the shell, never a program or shortcut the page wrote.
TEST_F(SiteFiles, OpenFileRefusesWhatIsNoDocument) {
  Page page(L"https://open.example/");
  for (const auto& [name, bytes] : {std::pair{"run.bat", "@echo off"}, std::pair{"setup.exe", "MZ\x90"},
                                    std::pair{"a.pdf.lnk", "L\x01"}, std::pair{"site.url", "[InternetShortcut]"},
                                    std::pair{"fake.pdf", "MZ\x90 not a PDF"}}) {
    ASSERT_TRUE(page.Write(name, bytes)) << name;
    ASSERT_HRESULT_SUCCEEDED(page.control->openFile(Bstr(std::string(name))));
    EXPECT_EQ(page.Errors(), std::vector<std::string>{"fileTypeRefused"}) << name;
  }
  ASSERT_HRESULT_SUCCEEDED(page.control->openFile(Bstr("C:\\windows\\notepad.exe")));
  EXPECT_EQ(page.Errors(), kRefused);
}

// A junction inside a site's folder that leads to another's.
TEST_F(SiteFiles, AJunctionToAnotherSitesFolderIsNotFollowed) {
  Page owner(L"https://owner.example/");
  ASSERT_TRUE(owner.Write("secret.txt", "owner's"));
  Page other(L"https://linker.example/");
  ASSERT_TRUE(other.Write("own.txt", "mine"));
  const std::wstring link = FilesOf(L"https_linker.example") + L"\\link";
  const std::wstring target = FilesOf(L"https_owner.example");
  // CreateSymbolicLinkW (Vista and later), found at run time: the build targets XP.
  using MakeLink = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
  const auto makeLink = reinterpret_cast<MakeLink>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "CreateSymbolicLinkW")));
  if (!makeLink || !makeLink(link.c_str(), target.c_str(), 1 /* a folder */))
    GTEST_SKIP() << "no directory links here (error " << ::GetLastError() << ")";
  // Measured: wine makes the link but does not lead through it; Windows does.
  if (ReadDisk(link + L"\\secret.txt") != "owner's") GTEST_SKIP() << "the system does not follow the link it made";
  EXPECT_EQ(other.Read("link/secret.txt"), "<none>");
  EXPECT_EQ(other.Errors(), kRefused);
  EXPECT_FALSE(other.Write("link/planted.txt", "x"));
  EXPECT_EQ(other.Errors(), kRefused);
  EXPECT_EQ(Listing(target), std::vector<std::string>{"secret.txt"});
}

TEST_F(SiteFiles, TheRoomOfASiteIsBoundedByControlJson) {
  const std::wstring config = g_root + L"\\roaming\\Kestrix";
  ::CreateDirectoryW((g_root + L"\\roaming").c_str(), nullptr);
  ::CreateDirectoryW(config.c_str(), nullptr);
  HANDLE h = ::CreateFileW((config + L"\\control.json").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const char json[] = "{\"siteQuotaMiB\": 1}";
  DWORD n = 0;
  ::WriteFile(h, json, sizeof json - 1, &n, nullptr);
  ::CloseHandle(h);
  Page page(L"https://full.example/");
  const std::string half(600 * 1024, 'a');
  EXPECT_TRUE(page.Write("one.txt", half));
  EXPECT_FALSE(page.Write("two.txt", half));
  EXPECT_EQ(page.Errors(), std::vector<std::string>{"noRoom"});
  EXPECT_TRUE(page.Write("one.txt", half + "b"));  // a file replaced does not count twice
  EXPECT_EQ(Listing(FilesOf(L"https_full.example")), std::vector<std::string>{"one.txt"});
  ::DeleteFileW((config + L"\\control.json").c_str());
}

TEST_F(SiteFiles, SettingsAreKeptPerSite) {
  Page shop(L"https://shop.example/");
  Page other(L"https://other.example/");
  VARIANT value;
  value.vt = VT_BSTR;
  value.bstrVal = ::SysAllocString(L"kx-raw");
  ASSERT_HRESULT_SUCCEEDED(shop.control->setLastSettings(Bstr("printer"), &value));
  ::VariantClear(&value);
  ASSERT_HRESULT_SUCCEEDED(other.control->clearLastSettings(Bstr("")));
  auto get = [](Page& page) {
    VARIANT got;
    ::VariantInit(&got);
    EXPECT_HRESULT_SUCCEEDED(page.control->getLastSettings(Bstr("printer"), &got));
    std::string text = got.vt == VT_BSTR ? BstrText(got.bstrVal) : got.vt == VT_EMPTY ? "<none>" : "<other>";
    ::VariantClear(&got);
    return text;
  };
  EXPECT_EQ(get(other), "<none>");
  EXPECT_EQ(get(shop), "kx-raw");
  Page samePlace(L"HTTPS://shop.example:443/other/page.htm");  // the same origin, spelled otherwise
  EXPECT_EQ(get(samePlace), "kx-raw");
  // Kept under %APPDATA%\Kestrix, a file for each of the two sites.
  EXPECT_EQ(Listing(g_root + L"\\roaming\\Kestrix\\settings").size(), 2u);
  ASSERT_HRESULT_SUCCEEDED(shop.control->setLastSettings(Bstr(""), &value));
  EXPECT_EQ(shop.Errors(), std::vector<std::string>{"badKey"});
}

TEST_F(SiteFiles, DeviceIdsAreEachSitesOwn) {
  Page a(L"https://a.example/"), again(L"https://a.example/x"), b(L"https://b.example/");
  const std::string cpuA = a.Text(&IPrinterControl::getCPUSerialNo);
  const std::string macA = a.Text(&IPrinterControl::getLocalMacAddress);
  ASSERT_FALSE(MachineId().empty());
  EXPECT_EQ(cpuA.size(), 32u);
  EXPECT_NE(cpuA, MachineId());
  EXPECT_EQ(again.Text(&IPrinterControl::getCPUSerialNo), cpuA);
  EXPECT_NE(b.Text(&IPrinterControl::getCPUSerialNo), cpuA);
  if (LocalMacAddress().empty()) {
    EXPECT_EQ(macA, "");
  } else {
    EXPECT_EQ(macA.size(), 17u);
    EXPECT_NE(macA, LocalMacAddress());
    EXPECT_EQ(again.Text(&IPrinterControl::getLocalMacAddress), macA);
    EXPECT_NE(b.Text(&IPrinterControl::getLocalMacAddress), macA);
  }
}

}  // namespace
