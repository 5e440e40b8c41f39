// The printer members and a raw job against the private scheduler of
// tests/control/cups, which wine's spooler reads through CUPS_SERVER.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "ControlHarness.h"
#include "control/formats/Base64.h"
#include "control/members/AutomationToJson.h"
#include "control/win32/WideText.h"
#include "platform/JsonDispatch.h"

namespace {

// The scheduler's folder as this program sees it ("Z:" + its path).
std::string CupsDir() {
  const char* dir = std::getenv("KX_CUPS_DIR");
  return dir ? std::string("Z:") + dir : std::string();
}

std::vector<std::string> CapturedFiles(const std::string& queue = "raw") {
  std::vector<std::string> files;
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW(Wide(CupsDir() + "/out/" + queue + "/job-*.prn").c_str(), &found);
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
  int DoneCount() const {
    int n = 0;
    for (const auto& e : m_sink->events) n += e["event"] == "done";
    return n;
  }
  // One done, a success, last; the states from handing over to completed.
  void ExpectCompletedInOrder(const Json::Value& done) {
    ASSERT_EQ(done["status"], "success") << done.toStyledString();
    EXPECT_EQ(DoneCount(), 1);
    EXPECT_EQ(done["event"], "done");
    EXPECT_GT(done["object"]["jobId"].asInt(), 0);
    std::vector<std::string> states;
    for (const auto& e : m_sink->events)
      if (e["event"] == "state") states.push_back(e["object"]["status"].asString());
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states.front(), "submitting");
    EXPECT_EQ(states.back(), "completed");
    // On the thread that made the control, never the jobs' own.
    for (const auto& e : m_sink->events) EXPECT_EQ(e["thread"].asUInt(), ::GetCurrentThreadId());
  }
  // Prints job and waits for its done event.
  Json::Value PrintAndWait(const Json::Value& job) {
    EXPECT_HRESULT_SUCCEEDED(m_control->print(CJsonDispatch::Create(job), VARIANT_FALSE));
    EXPECT_TRUE(PumpUntil([&] { return DoneCount() > 0; }, 60000));
    return m_sink->events.empty() ? Json::Value() : m_sink->events.back();
  }
  // The document that arrived in a capture folder, not among before.
  std::string Arrived(const std::string& queue, const std::vector<std::string>& before) {
    std::string arrived;
    PumpUntil(
        [&] {
          for (const std::string& file : CapturedFiles(queue)) {
            if (std::find(before.begin(), before.end(), file) != before.end()) continue;
            arrived = ReadAll(CupsDir() + "/out/" + queue + "/" + file);
            return true;
          }
          return false;
        },
        30000);
    return arrived;
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

// A page names a printer; the spooler is asked only about the ones it lists.
// Opened, these would reach another machine (with the user's credentials),
// a port monitor or a job of the queue.
TEST_F(Spooler, OnlyPrintersTheSpoolerListsAreOpened) {
  for (const wchar_t* name : {L",XcvMonitor Local Port", L",XcvPort LPT1:", L"kx-raw,Job 1", L"kx-raw,Port",
                              L"\\\\127.0.0.1\\kx-raw", L"\\\\kx-elsewhere.invalid\\kx-raw"}) {
    m_sink->events.clear();
    BSTR printer = ::SysAllocString(name);
    VARIANT value;
    ::VariantInit(&value);
    ASSERT_HRESULT_SUCCEEDED(m_control->getPrinterInfo(printer, &value));
    EXPECT_TRUE(Result(&value).isNull()) << Narrow(name);
    ::SysFreeString(printer);
    ASSERT_TRUE(PumpUntil([&] { return !m_sink->events.empty(); }, 10000));
    EXPECT_EQ(m_sink->events[0]["object"]["message"].asString(), "printer '" + Narrow(name) + "' not found");
  }
  // A listed printer by another spelling is that printer.
  Json::Value job(Json::objectValue);
  job["raw"] = Base64Encode("any case");
  job["printer"] = "KX-Raw";
  m_sink->events.clear();
  const std::vector<std::string> before = CapturedFiles();
  EXPECT_EQ(PrintAndWait(job)["object"]["printerName"], "kx-raw");
  EXPECT_EQ(Arrived("raw", before), "any case");  // and no later test sees it arrive
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
  const Json::Value done = PrintAndWait(job);
  ExpectCompletedInOrder(done);
  EXPECT_EQ(done["object"]["printerName"], "kx-raw");
  EXPECT_EQ(m_sink->events[m_sink->events.size() - 2]["object"]["size"].asUInt(), bytes.size());
  // The capture queue has the bytes unchanged.
  EXPECT_EQ(Arrived("raw", before), bytes);
}

TEST_F(Spooler, ARawJobToAnUnknownQueueEndsWithAnError) {
  Json::Value job(Json::objectValue);
  job["raw"] = "SGVsbG8=";
  job["printer"] = "kx-nowhere";
  const Json::Value done = PrintAndWait(job);
  EXPECT_EQ(done["status"], "error");
  EXPECT_NE(done["object"]["message"].asString().find("kx-nowhere"), std::string::npos);
}

TEST_F(Spooler, AJobOfAReleasedControlStillPrintsAndFiresNothing) {
  Json::Value job(Json::objectValue);
  job["raw"] = Base64Encode("after the page let go");
  job["printer"] = "kx-raw";
  const std::vector<std::string> before = CapturedFiles();
  ASSERT_HRESULT_SUCCEEDED(m_control->print(CJsonDispatch::Create(job), VARIANT_FALSE));
  m_control.Release();  // its window goes, with what the job thread had queued for it
  EXPECT_EQ(Arrived("raw", before), "after the page let go");
  PumpUntil([] { return false; }, 0);  // what was posted before is dispatched (or dropped)
  EXPECT_TRUE(m_sink->events.empty()) << m_sink->events.front().toStyledString();
}

// A 6 x 4 PNG of distinct colours.
constexpr char kPng[] =
    "iVBORw0KGgoAAAANSUhEUgAAAAYAAAAECAIAAAAiZtkUAAAAOUlEQVR4nA3IQQEAMAwCMeRUBCIqBzkVgYiTteUZSYxYEXECIZkxa2LO4F9hwoaEC+"
    "RXmbIl5QrlAb4gJJHlVTCnAAAAAElFTkSuQmCC";

// The numbers before the last PostScript operator op ahead of the image's
// dictionary: "a b op" gives {a, b}.
std::vector<double> Operands(const std::string& ps, const std::string& op) {
  const size_t image = ps.find("/ImageType");
  if (image == std::string::npos) return {};
  const size_t at = ps.rfind(" " + op + "\n", image);
  if (at == std::string::npos) return {};
  const size_t line = ps.rfind('\n', at) + 1;
  std::istringstream in(ps.substr(line, at - line));
  std::vector<double> numbers;
  for (double n; in >> n;) numbers.push_back(n);
  return numbers;
}

// The first image's samples (R, G, B): its data after "image", ASCII85 then
// run-length encoded, as wine's driver writes it.
std::string ImageSamples(const std::string& ps) {
  size_t at = ps.find("\nimage\n");
  if (at == std::string::npos) return {};
  at += 7;
  const size_t end = ps.find("~>", at);
  std::string bytes;
  uint32_t value = 0;
  int n = 0;
  for (size_t i = at; i < end && i < ps.size(); ++i) {
    const char c = ps[i];
    if (c == 'z' && n == 0) bytes.append(4, '\0');
    if (c < '!' || c > 'u') continue;
    value = value * 85 + static_cast<uint32_t>(c - '!');
    if (++n == 5) {
      for (int k = 3; k >= 0; --k) bytes.push_back(static_cast<char>(value >> (8 * k)));
      value = 0, n = 0;
    }
  }
  if (n > 1) {
    for (int k = n; k < 5; ++k) value = value * 85 + 84;
    for (int k = 0; k < n - 1; ++k) bytes.push_back(static_cast<char>(value >> (24 - 8 * k)));
  }
  std::string samples;
  for (size_t i = 0; i < bytes.size();) {
    const unsigned length = static_cast<unsigned char>(bytes[i++]);
    if (length == 128) break;
    if (length < 128) {
      samples.append(bytes, i, length + 1);
      i += length + 1;
    } else if (i < bytes.size()) {
      samples.append(257 - length, bytes[i++]);
    }
  }
  return samples;
}

TEST_F(Spooler, AnImageArrivesAsOnePostScriptPageFittedToThePrintableArea) {
  const std::vector<std::string> before = CapturedFiles("ps");
  Json::Value job(Json::objectValue);
  job["data"] = std::string("data:image/png;base64,") + kPng;
  job["printer"] = "kx-ps";
  job["title"] = "a picture";
  ExpectCompletedInOrder(PrintAndWait(job));

  const std::string ps = Arrived("ps", before);
  ASSERT_EQ(ps.rfind("%!PS-Adobe", 0), 0u) << ps.substr(0, 200);
  EXPECT_NE(ps.find("%%Title: a picture"), std::string::npos);
  EXPECT_NE(ps.find("\n%%Pages: 1\n"), std::string::npos);
  EXPECT_EQ(ps.find("%%Page: 2"), std::string::npos);
  EXPECT_NE(ps.find("/Width 6\n"), std::string::npos);
  EXPECT_NE(ps.find("/Height 4\n"), std::string::npos);
  EXPECT_NE(ps.find("\nimage\n"), std::string::npos);
  // kx-ps's A4 prints 18 to 577 pt across: 2329 dots at 300 dpi. The picture
  // takes the whole width and keeps its 3:2 shape.
  const std::vector<double> size = Operands(ps, "scale");
  ASSERT_EQ(size.size(), 2u) << ps;
  EXPECT_NEAR(size[0], 2329, 1);
  EXPECT_NEAR(size[1], 2329.0 * 4 / 6, 1);
  // The PNG's own pixels, every colour once.
  const std::string samples = ImageSamples(ps);
  ASSERT_EQ(samples.size(), 6u * 4 * 3);
  std::set<std::array<int, 3>> arrived, drawn;
  for (size_t i = 0; i < samples.size(); i += 3)
    arrived.insert({static_cast<unsigned char>(samples[i]), static_cast<unsigned char>(samples[i + 1]),
                    static_cast<unsigned char>(samples[i + 2])});
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) drawn.insert({x * 40, y * 60, 200});
  EXPECT_EQ(arrived, drawn);
}

TEST_F(Spooler, AnImageJobsPagesHaveItsPaperOrientationCopiesAndColourMode) {
  const std::vector<std::string> before = CapturedFiles("ps");
  Json::Value job(Json::objectValue);
  job["data"] = kPng;  // the kind told from its first bytes
  job["printer"] = "kx-ps";
  job["paper"] = "Letter";
  job["landscape"] = true;
  job["copies"] = 2;
  job["colorMode"] = "monochrome";
  ASSERT_EQ(PrintAndWait(job)["status"], "success");
  const std::string ps = Arrived("ps", before);
  EXPECT_NE(ps.find("\n%%Pages: 2\n"), std::string::npos);
  EXPECT_NE(ps.find("*PageSize Letter"), std::string::npos) << ps.substr(0, 1500);
  EXPECT_NE(ps.find("%%Orientation: Landscape"), std::string::npos);
  // Across the landscape page: Letter's printable length, 36 to 756 pt.
  const std::vector<double> size = Operands(ps, "scale");
  ASSERT_EQ(size.size(), 2u);
  EXPECT_NEAR(size[0], 3000, 1);
  // Grey, whatever the driver does with the DEVMODE's colour.
  const std::string samples = ImageSamples(ps);
  ASSERT_EQ(samples.size(), 6u * 4 * 3);
  for (size_t i = 0; i < samples.size(); i += 3) {
    EXPECT_EQ(samples[i], samples[i + 1]);
    EXPECT_EQ(samples[i], samples[i + 2]);
  }
}

// A BMP header for width x height pixels with no pixels after it.
std::string BmpHeader(int32_t width, int32_t height) {
  std::string bmp(54, '\0');
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>(v >> (8 * i));
  };
  bmp[0] = 'B', bmp[1] = 'M';
  put(2, 54), put(10, 54), put(14, 40), put(18, static_cast<uint32_t>(width)), put(22, static_cast<uint32_t>(height));
  bmp[26] = 1, bmp[28] = 24;
  return bmp;
}

// An 8 x 8 grey progressive JPEG whose AC scan comes `scans` times: each
// scan is another pass over every block of the picture.
std::string ProgressiveJpeg(int scans) {
  std::string jpeg("\xff\xd8\xff\xdb\x00\x43\x00", 7);
  jpeg += std::string(64, '\x01');  // quantisation
  jpeg += std::string("\xff\xc2\x00\x0b\x08\x00\x08\x00\x08\x01\x01\x11\x00", 13);
  for (char table : {'\x00', '\x10'})  // DC, AC: one code, "0", for symbol 0
    jpeg += std::string("\xff\xc4\x00\x14", 4) + table + '\x01' + std::string(16, '\0');
  jpeg += std::string("\xff\xda\x00\x08\x01\x01\x00\x00\x00\x00\x7f", 11);
  for (int i = 0; i < scans; ++i) jpeg += std::string("\xff\xda\x00\x08\x01\x01\x00\x01\x3f\x00\x7f", 11);
  return jpeg + "\xff\xd9";
}

// A GIF of `frames` 1 x 1 frames.
std::string GifOfFrames(int frames) {
  std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00", 13);
  gif += std::string(6, '\0');  // two colours
  for (int i = 0; i < frames; ++i)
    gif += std::string("\x2c\0\0\0\0\x01\0\x01\0\0\x02\x02\x4c\x01\0", 15);
  return gif + ";";
}

TEST_F(Spooler, BadImagesEndWithAClearErrorAndOneDone) {
  struct Case {
    std::string bytes;
    const char* code;
  };
  std::string damaged;
  Base64Decode(kPng, &damaged);
  damaged.resize(damaged.size() / 2);  // its pixels cut off
  const Case cases[] = {{damaged, "badImage"},
                        {std::string("\x89PNG\r\n\x1a\n") + std::string(40, 'x'), "badImage"},
                        // 10000 x 10000 pixels: refused from the header, nothing allocated.
                        {BmpHeader(10000, 10000), "imageTooLarge"},
                        // Scans cost time however small the file: 300 are refused.
                        {ProgressiveJpeg(300), "imageTooLarge"},
                        {GifOfFrames(10001), "imageTooLarge"}};
  for (const Case& c : cases) {
    m_sink->events.clear();
    Json::Value job(Json::objectValue);
    job["data"] = Base64Encode(c.bytes);
    job["printer"] = "kx-ps";
    const Json::Value done = PrintAndWait(job);
    EXPECT_EQ(done["status"], "error") << c.code;
    EXPECT_EQ(DoneCount(), 1) << c.code;
    bool coded = false;
    for (const auto& e : m_sink->events) coded = coded || (e["event"] == "message" && e["object"]["code"] == c.code);
    EXPECT_TRUE(coded) << c.code << ": " << done.toStyledString();
  }
  // Copies are drawn again each: 999 of a 400 x 400 picture would spool 160
  // million pixels. Refused before anything is drawn.
  m_sink->events.clear();
  const std::vector<std::string> before = CapturedFiles("ps");
  Json::Value copies(Json::objectValue);
  copies["data"] = Base64Encode(BmpHeader(400, 400) + std::string(400 * 400 * 3, '\x7f'));
  copies["printer"] = "kx-ps";
  copies["copies"] = 999;
  EXPECT_EQ(PrintAndWait(copies)["status"], "error");
  bool tooLarge = false;
  for (const auto& e : m_sink->events) tooLarge = tooLarge || e["object"]["code"] == "imageTooLarge";
  EXPECT_TRUE(tooLarge);
  EXPECT_EQ(CapturedFiles("ps"), before);
  // What the printer lacks: colour on a grey printer, a paper it does not list.
  for (const char* member : {"colorMode", "paper"}) {
    m_sink->events.clear();
    Json::Value job(Json::objectValue);
    job["data"] = kPng;
    job["printer"] = std::string(member) == "paper" ? "kx-ps" : "kx-raw";
    job[member] = std::string(member) == "paper" ? "A3" : "color";
    EXPECT_EQ(PrintAndWait(job)["status"], "error") << member;
    bool named = false;
    for (const auto& e : m_sink->events)
      named = named || (e["object"]["code"] == "optionUnsupported" &&
                        e["object"]["message"].asString().find(job[member].asString()) != std::string::npos);
    EXPECT_TRUE(named) << member;
  }
  // Refused before the queue: a kind not built.
  m_sink->events.clear();
  Json::Value pdf(Json::objectValue);
  pdf["data"] = Base64Encode("%PDF-1.4\n");
  pdf["type"] = "application/pdf";
  EXPECT_EQ(PrintAndWait(pdf)["status"], "error");
  EXPECT_EQ(m_sink->events.front()["object"]["code"], "notBuilt");
}

// Files of the page's site print as images do; the user's folders point into
// a fresh folder, so the site's folder is this test's own.
TEST_F(Spooler, AnImageFileOfTheSiteArrivesAndOtherFilesAreRefused) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring root = std::wstring(temp) + L"kx-spoolerfiles-" + std::to_wstring(::GetCurrentProcessId());
  ::SetEnvironmentVariableW(L"APPDATA", (root + L"\\roaming").c_str());
  ::SetEnvironmentVariableW(L"LOCALAPPDATA", (root + L"\\local").c_str());
  auto write = [&](const wchar_t* path, const std::string& bytes) {
    BSTR name = ::SysAllocString(path);
    BSTR data = ::SysAllocStringLen(Wide(Base64Encode(bytes)).c_str(), static_cast<UINT>(Base64Encode(bytes).size()));
    BOOL written = FALSE;
    EXPECT_HRESULT_SUCCEEDED(m_control->writeBase64(name, data, &written));
    EXPECT_TRUE(written);
    ::SysFreeString(name);
    ::SysFreeString(data);
  };
  auto open = [&](const wchar_t* address) {
    BSTR page = ::SysAllocString(address);
    EXPECT_HRESULT_SUCCEEDED(m_control->setPageURL(page));
    ::SysFreeString(page);
  };
  std::string png;
  Base64Decode(kPng, &png);
  open(L"https://other.example/");
  write(L"label.png", png);
  open(L"https://shop.example/labels.html");
  write(L"pictures\\label.png", png);
  write(L"label.pdf", "%PDF-1.4\n");

  const std::vector<std::string> before = CapturedFiles("ps");
  Json::Value job(Json::objectValue);
  job["file"] = "pictures/label.png";
  job["printer"] = "kx-ps";
  ExpectCompletedInOrder(PrintAndWait(job));
  const std::string ps = Arrived("ps", before);
  EXPECT_NE(ps.find("%%Title: label.png"), std::string::npos) << ps.substr(0, 300);
  EXPECT_NE(ps.find("/Width 6\n"), std::string::npos);
  EXPECT_NE(ps.find("/Height 4\n"), std::string::npos);

  // A file just past the bound: made sparse, so it costs no disk.
  const std::wstring big = root + L"\\local\\Kestrix\\files\\https_shop.example\\big.png";
  HANDLE h = ::CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  size.QuadPart = (64LL << 20) + 1;
  ASSERT_TRUE(::SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && ::SetEndOfFile(h));
  ::CloseHandle(h);
  const std::pair<std::string, const char*> refused[] = {
      {"C:\\windows\\win.ini", "pathRefused"},  // outside the site's folders
      {"..\\https_other.example\\label.png", "pathRefused"},
      {"missing.png", "fileUnreadable"},
      {"big.png", "fileUnreadable"},
      {"label.pdf", "notBuilt"}};
  for (const auto& [path, code] : refused) {
    m_sink->events.clear();
    Json::Value bad(Json::objectValue);
    bad["file"] = path;
    bad["printer"] = "kx-ps";
    EXPECT_EQ(PrintAndWait(bad)["status"], "error") << path;
    EXPECT_EQ(DoneCount(), 1) << path;
    EXPECT_EQ(m_sink->events.front()["object"]["code"], code) << path << ": " << m_sink->events.front();
  }
  EXPECT_EQ(CapturedFiles("ps").size(), before.size() + 1);
  ::DeleteFileW(big.c_str());
}

}  // namespace
