// The printer members and a raw job against the private scheduler of
// tests/control/cups, which wine's spooler reads through CUPS_SERVER.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ControlHarness.h"
#include "control/object/AutomationToJson.h"
#include "control/win32/WideText.h"
#include "platform/JsonDispatch.h"

namespace {

// The scheduler's folder as this program sees it ("Z:" + its path).
std::string CupsDir() {
  const char* dir = std::getenv("KX_CUPS_DIR");
  return dir ? std::string("Z:") + dir : std::string();
}

std::vector<std::string> CapturedFiles() {
  std::vector<std::string> files;
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW(Wide(CupsDir() + "/out/raw/job-*.prn").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return files;
  do files.push_back(Narrow(found.cFileName));
  while (::FindNextFileW(find, &found));
  ::FindClose(find);
  return files;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Json::Value Result(VARIANT* value) {
  Json::Value json = VariantToJsonValue(*value);
  ::VariantClear(value);
  return json;
}

class Spooler : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_HRESULT_SUCCEEDED(CallDllInstall(true, L"machine")); }
  static void TearDownTestSuite() { CallDllInstall(false, L"machine"); }
  void SetUp() override {
    ASSERT_FALSE(CupsDir().empty()) << "KX_CUPS_DIR names the private scheduler's folder";
    ::CoInitialize(nullptr);
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_KestrixPrinter, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IPrinterControl, reinterpret_cast<void**>(&m_control)));
    ComPtr<IObjectWithSite> withSite;
    ASSERT_HRESULT_SUCCEEDED(m_control->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite)));
    ASSERT_HRESULT_SUCCEEDED(withSite->SetSite(MakeSiteAt(BootstrapPageAddressOfThisProgram())));
    m_sink = EventRecorder::Create();
    ASSERT_HRESULT_SUCCEEDED(Advise(m_control, m_sink.Get(), &m_cookie));
  }
  void TearDown() override {
    m_control.Release();
    ::CoUninitialize();
  }
  ComPtr<IPrinterControl> m_control;
  ComPtr<EventRecorder> m_sink;
  DWORD m_cookie = 0;
};

TEST_F(Spooler, PrinterMembersListTheSchedulersQueues) {
  VARIANT value;
  ::VariantInit(&value);
  ASSERT_HRESULT_SUCCEEDED(m_control->getPrinters(&value));
  Json::Value printers = Result(&value);
  for (const char* queue : {"kx-office", "kx-offline", "kx-pdf", "kx-raw", "kx-stopped"}) {
    bool listed = false;
    for (const auto& name : printers) listed = listed || name.asString() == queue;
    EXPECT_TRUE(listed) << queue << " in " << printers.toStyledString();
  }
  ASSERT_HRESULT_SUCCEEDED(m_control->getDefaultPrinter(&value));
  Json::Value byDefault = Result(&value);
  ASSERT_TRUE(byDefault.isString());

  BSTR raw = ::SysAllocString(L"kx-raw");
  ASSERT_HRESULT_SUCCEEDED(m_control->getPrinterInfo(raw, &value));
  Json::Value info = Result(&value);
  EXPECT_EQ(info["name"], "kx-raw");
  EXPECT_EQ(info["isDefault"].asBool(), byDefault.asString() == "kx-raw");
  EXPECT_TRUE(info["media"].isArray());
  ASSERT_HRESULT_SUCCEEDED(m_control->getPrinterStatus(raw, VARIANT_TRUE, &value));
  Json::Value status = Result(&value);
  EXPECT_EQ(status["name"], "kx-raw");
  EXPECT_TRUE(status["jobs"].isArray());
  ::SysFreeString(raw);

  // An unknown queue: null, and the page hears why.
  BSTR unknown = ::SysAllocString(L"kx-nowhere");
  ASSERT_HRESULT_SUCCEEDED(m_control->getPrinterInfo(unknown, &value));
  EXPECT_TRUE(Result(&value).isNull());
  ::SysFreeString(unknown);
  ASSERT_TRUE(PumpUntil([&] { return !m_sink->events.empty(); }, 10000));
  EXPECT_EQ(m_sink->events[0]["object"]["code"], "printerError");
  EXPECT_NE(m_sink->events[0]["object"]["message"].asString().find("kx-nowhere"), std::string::npos);
}

TEST_F(Spooler, ARawJobArrivesByteExactWithItsEventsInOrder) {
  // Every byte value, with the ones text handling would change (0A, 0D, 1A, 00).
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  bytes += "\r\n\x1a\n";
  std::string hex;
  for (unsigned char c : bytes) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02x ", c);
    hex += pair;
  }
  Json::Value job(Json::objectValue);
  job["raw"]["hex"] = hex;
  job["printer"] = "kx-raw";
  job["title"] = "raw bytes";
  const std::vector<std::string> before = CapturedFiles();
  ComPtr<IDispatch> object = CJsonDispatch::Create(job);
  ASSERT_HRESULT_SUCCEEDED(m_control->print(object, VARIANT_FALSE));
  auto doneCount = [&] {
    int n = 0;
    for (const auto& e : m_sink->events) n += e["event"] == "done";
    return n;
  };
  ASSERT_TRUE(PumpUntil([&] { return doneCount() > 0; }, 60000));
  const Json::Value done = m_sink->events.back();
  EXPECT_EQ(done["event"], "done");
  ASSERT_EQ(done["status"], "success") << Json::Value(m_sink->events.size()).asString() << " events, last "
                                        << done.toStyledString();
  EXPECT_GT(done["object"]["jobId"].asInt(), 0);
  EXPECT_EQ(done["object"]["printerName"], "kx-raw");
  EXPECT_EQ(doneCount(), 1);
  // States in order: handed over first, completed last, nothing after done.
  std::vector<std::string> states;
  for (const auto& e : m_sink->events)
    if (e["event"] == "state") states.push_back(e["object"]["status"].asString());
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states.front(), "submitting");
  EXPECT_EQ(states.back(), "completed");
  EXPECT_EQ(m_sink->events.back()["event"], "done");
  EXPECT_EQ(m_sink->events[m_sink->events.size() - 2]["object"]["size"].asUInt(), bytes.size());

  // The capture queue has the bytes unchanged.
  std::string arrived;
  ASSERT_TRUE(PumpUntil(
      [&] {
        for (const std::string& file : CapturedFiles()) {
          if (std::find(before.begin(), before.end(), file) != before.end()) continue;
          arrived = ReadAll(CupsDir() + "/out/raw/" + file);
          if (arrived.size() >= bytes.size()) return true;
        }
        return false;
      },
      30000));
  EXPECT_EQ(arrived, bytes);
}

TEST_F(Spooler, ARawJobToAnUnknownQueueEndsWithAnError) {
  Json::Value job(Json::objectValue);
  job["raw"] = "SGVsbG8=";
  job["printer"] = "kx-nowhere";
  ASSERT_HRESULT_SUCCEEDED(m_control->print(CJsonDispatch::Create(job), VARIANT_FALSE));
  ASSERT_TRUE(PumpUntil([&] { return !m_sink->events.empty() && m_sink->events.back()["event"] == "done"; }, 30000));
  EXPECT_EQ(m_sink->events.back()["status"], "error");
  EXPECT_NE(m_sink->events.back()["object"]["message"].asString().find("kx-nowhere"), std::string::npos);
}

}  // namespace
