// The bootstrap page as a real module resource: type "JS", id 102, in the
// executable itself, byte for byte the page file.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "browser/BootstrapPage.h"
#include "platform/CodePage.h"
#include "platform/Resources.h"

namespace {

std::string PageFile() {
  // The source tree through wine's drive for the root of the file system.
  std::ifstream in("Z:" KX_PAGE_FILE, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ResourceOf(HMODULE module) {
  HRSRC found = ::FindResourceW(module, L"#102", L"JS");
  if (!found) return "<none>";
  const void* bytes = ::LockResource(::LoadResource(module, found));
  return std::string(static_cast<const char*>(bytes), ::SizeofResource(module, found));
}

TEST(PageResource, TheExecutablesResourceIsThePageFileAndReadsAsItsText) {
  std::string page = PageFile();
  ASSERT_GT(page.size(), 1000u);

  const unsigned char* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(FindModuleResource("JS", "#102", &data, &size));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), page);
  EXPECT_EQ(ReadPageResource("JS", "#102"), AnsiToWide(page));
  EXPECT_TRUE(ReadPageResource("JS", "#103").empty());
  EXPECT_TRUE(ReadPageResource("JS", "102").empty()) << "a name, not the id";
  EXPECT_FALSE(FindModuleResource("HTML", "#102", &data, &size));
  EXPECT_EQ(data, nullptr);

  // The shipped host carries the same bytes.
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring host(self);
  host = host.substr(0, host.find_last_of(L"\\/") + 1) + L"kestrix-host.exe";
  HMODULE exe = ::LoadLibraryExW(host.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  EXPECT_EQ(ResourceOf(exe), page);
  ::FreeLibrary(exe);
}

}  // namespace
