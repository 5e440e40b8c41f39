// What a printer can do: its IPP facts in getPrinterInfo / getPrinterStatus,
// the job options that use them (checked against the queue), and raw jobs
// that reach a queue or a socket printer byte for byte. The office queue
// (tests/control/cups/kx-office.ppd) has trays, media types, resolutions,
// colour, duplex, a stapler, output bins and print qualities.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "ControlFixture.h"
#include "control/formats/Base64.h"
#include "control/base/ControlPaths.h"
#include "control/members/AutomationToJson.h"
#include "control/printing/PrinterCapabilities.h"

namespace {
// A one-page PDF, small enough to write out here.
std::string OnePagePdf() {
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj " + objects[i] + " endobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[24];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer << /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

bool Has(const Json::Value& list, const Json::Value& value) {
  for (const auto& v : list)
    if (v == value) return true;
  return false;
}

// A socket printer on loopback: takes one connection and keeps what arrives.
class SocketPrinter {
 public:
  SocketPrinter() {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t len = sizeof address;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &len);
    m_port = ntohs(address.sin_port);
    listen(m_listen, 1);
    m_thread = std::thread([this] {
      int fd = accept(m_listen, nullptr, nullptr);
      if (fd < 0) return;
      char buffer[4096];
      for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) m_received.append(buffer, static_cast<size_t>(n));
      close(fd);
    });
  }
  ~SocketPrinter() {
    shutdown(m_listen, SHUT_RDWR);
    close(m_listen);
    if (m_thread.joinable()) m_thread.join();
  }
  std::string Address() const { return "socket://127.0.0.1:" + std::to_string(m_port); }
  // What arrived, once the sender has closed.
  std::string Received() {
    if (m_thread.joinable()) m_thread.join();
    return m_received;
  }

 private:
  int m_listen = -1;
  int m_port = 0;
  std::thread m_thread;
  std::string m_received;
};
}  // namespace

// ---- job members and the check against a printer, without a scheduler ----------------

TEST(PrinterFeatures, JobMembersBecomeIppOptionsAndWrongFormsNameTheMember) {
  Json::Value job;
  job["mediaSource"] = "tray-2";
  job["mediaType"] = "labels";
  job["colorMode"] = "grayscale";
  job["scaling"] = "fill";
  job["quality"] = "high";
  job["resolution"] = "300x600dpi";
  job["collate"] = false;
  job["pagesPerSheet"] = 4;
  job["outputBin"] = "rear";
  job["finishings"].append("staple-top-left");
  job["finishings"].append("punch-dual-left");
  Json::Value options(Json::objectValue);
  std::string error;
  ASSERT_TRUE(ReadFeatureOptions(job, &options, &error)) << error;
  EXPECT_EQ(options["media-source"], "tray-2");
  EXPECT_EQ(options["media-type"], "labels");
  EXPECT_EQ(options["print-color-mode"], "monochrome");
  EXPECT_EQ(options["print-scaling"], "fill");
  EXPECT_EQ(options["print-quality"], "5");
  EXPECT_EQ(options["printer-resolution"], "300x600dpi");
  EXPECT_EQ(options["multiple-document-handling"], "separate-documents-uncollated-copies");
  EXPECT_EQ(options["number-up"], "4");
  EXPECT_EQ(options["output-bin"], "rear");
  EXPECT_EQ(options["finishings"], "20,74");

  Json::Value numeric;
  numeric["resolution"] = 600;
  numeric["scaling"] = "document";
  options = Json::Value(Json::objectValue);
  ASSERT_TRUE(ReadFeatureOptions(numeric, &options, &error)) << error;
  EXPECT_EQ(options["printer-resolution"], "600dpi");
  EXPECT_EQ(options["print-scaling"], "none");

  const std::pair<const char*, const char*> bad[] = {
      {R"({"mediaSource": "tray 2"})", "mediaSource"},   {R"({"mediaType": 3})", "mediaType"},
      {R"({"scaling": "stretch"})", "scaling"},          {R"({"quality": "best"})", "quality"},
      {R"({"resolution": "600ppi"})", "resolution"},     {R"({"collate": "yes"})", "collate"},
      {R"({"pagesPerSheet": 3.5})", "pagesPerSheet"},    {R"({"pagesPerSheet": 17})", "pagesPerSheet"},
      {R"({"finishings": "glue"})", "finishings"},       {R"({"scaling": "document", "paper": "A4"})", "paper"},
  };
  for (const auto& [text, member] : bad) {
    Json::Value j;
    Json::Reader().parse(text, j);
    options = Json::Value(Json::objectValue);
    error.clear();
    EXPECT_FALSE(ReadFeatureOptions(j, &options, &error)) << text;
    EXPECT_NE(error.find(member), std::string::npos) << text << " -> " << error;
  }
}

TEST(PrinterFeatures, OptionsThePrinterDoesNotReportAreRefusedSayingWhatItHas) {
  Json::Value caps;
  Json::Reader().parse(R"({"mediaSources": ["auto", "tray-1"], "mediaTypes": ["stationery"],
    "outputBins": ["upper"], "colorModes": ["monochrome"], "scalings": ["auto", "fit"],
    "resolutions": ["600dpi"], "duplexModes": [], "qualities": ["normal"], "collate": false,
    "pagesPerSheet": [1, 2], "finishings": ["none"], "media": ["iso_a4_210x297mm"], "customPaper": true,
    "customPaperMin": {"width": 25.4, "height": 25.4}, "customPaperMax": {"width": 100, "height": 200}})", caps);
  std::string error;
  Json::Value fine;
  fine["media-source"] = "tray-1";
  fine["sides"] = "one-sided";  // needs no duplex unit
  fine["number-up"] = "2";
  fine["copies"] = "3";         // not a feature: passes
  fine["media"] = "custom_62x29mm_62x29mm";  // within the custom range
  EXPECT_TRUE(CheckJobOptions(caps, fine, "kx", &error)) << error;

  const std::pair<std::pair<const char*, const char*>, const char*> refused[] = {
      {{"media-source", "tray-2"}, "paper source 'tray-2' (it has: auto, tray-1)"},
      {{"media-type", "labels"}, "media type 'labels'"},
      {{"output-bin", "rear"}, "output bin 'rear'"},
      {{"print-color-mode", "color"}, "colour mode 'color' (it has: monochrome)"},
      {{"print-scaling", "none"}, "scaling 'none'"},
      {{"printer-resolution", "1200dpi"}, "resolution '1200dpi' (it has: 600dpi)"},
      {{"sides", "two-sided-long-edge"}, "duplex mode 'two-sided-long-edge' (it has: none reported)"},
      {{"print-quality", "5"}, "print quality 'high'"},
      {{"multiple-document-handling", "separate-documents-collated-copies"}, "cannot collate"},
      {{"number-up", "4"}, "pages per sheet '4' (it has: 1, 2)"},
      {{"finishings", "3,20"}, "finishing 'staple-top-left'"},
      {{"media", "iso_a3_297x420mm"},
       "paper 'iso_a3_297x420mm' (it has: iso_a4_210x297mm; custom sizes from 25.4 x 25.4 to 100 x 200 mm)"},
      {{"media", "custom_120x29mm_120x29mm"}, "paper 'custom_120x29mm_120x29mm'"},
  };
  for (const auto& [option, message] : refused) {
    Json::Value options;
    options[option.first] = option.second;
    error.clear();
    EXPECT_FALSE(CheckJobOptions(caps, options, "kx", &error)) << option.first;
    EXPECT_NE(error.find(message), std::string::npos) << error;
    EXPECT_EQ(error.rfind("printer 'kx' ", 0), 0u) << error;
  }
}

TEST(PrinterFeatures, StateReasonsBecomeConditionsWithTheirSeverity) {
  Json::Value reasons;
  for (const char* r : {"none", "media-needed-error", "cover-open", "marker-supply-low-warning", "toner-low-report",
                        "paused", "offline-report", "media-jam-error", "com.vendor-thing-warning"})
    reasons.append(r);
  Json::Value conditions = ReasonConditions(reasons);
  const std::tuple<const char*, const char*, const char*> want[] = {
      {"media-empty", "error", "media-needed-error"}, {"door-open", "error", "cover-open"},
      {"toner-low", "warning", "marker-supply-low-warning"}, {"toner-low", "report", "toner-low-report"},
      {"paused", "report", "paused"}, {"offline", "report", "offline-report"},
      {"media-jam", "error", "media-jam-error"}, {"com.vendor-thing", "warning", "com.vendor-thing-warning"},
  };
  ASSERT_EQ(conditions.size(), std::size(want)) << conditions.toStyledString();
  for (size_t i = 0; i < std::size(want); ++i) {
    EXPECT_EQ(conditions[int(i)]["condition"], std::get<0>(want[i]));
    EXPECT_EQ(conditions[int(i)]["severity"], std::get<1>(want[i]));
    EXPECT_EQ(conditions[int(i)]["reason"], std::get<2>(want[i]));
  }
}

// ---- against the private scheduler ------------------------------------------------------

class PrinterFeaturesTest : public CupsControlTest {
 protected:
  // Prints job and waits for its OnDone.
  bool PrintAndWait(const Json::Value& job) {
    sink->events.clear();
    control->print(Job(job).Get(), VARIANT_FALSE);
    return WaitDone();
  }
  std::string Office(const std::string& name) const { return bench->Folder() + "/out/office/" + name; }
};

TEST_F(PrinterFeaturesTest, InfoReportsWhatTheOfficePrinterCanDoAndStatusItsConditionsAndSupplies) {
  Json::Value info = Result([&](VARIANT* v) { control->getPrinterInfo(Text("kx-office").Get(), v); });
  const std::pair<const char*, std::vector<const char*>> lists[] = {
      {"mediaSources", {"auto", "tray-1", "tray-2", "manual"}},
      {"mediaTypes", {"stationery", "labels", "photographic-glossy"}},
      {"resolutions", {"300dpi", "600dpi", "1200dpi"}},
      {"colorModes", {"monochrome", "color"}},
      {"duplexModes", {"one-sided", "two-sided-long-edge", "two-sided-short-edge"}},
      {"finishings", {"none", "staple-top-left"}},
      {"outputBins", {"upper", "rear"}},
      {"qualities", {"draft", "normal", "high"}},
      {"media", {"iso_a4_210x297mm", "iso_a5_148x210mm", "na_letter_8.5x11in"}},
  };
  for (const auto& [member, values] : lists) {
    Json::Value expected(Json::arrayValue);
    for (const char* v : values) expected.append(v);
    EXPECT_EQ(info[member], expected) << member;
  }
  EXPECT_TRUE(Has(info["pagesPerSheet"], 4));
  EXPECT_TRUE(Has(info["scalings"], "none"));
  EXPECT_EQ(info["collate"], true);
  EXPECT_EQ(info["defaults"]["resolution"], "600dpi");
  EXPECT_EQ(info["defaults"]["outputBin"], "upper");
  EXPECT_EQ(info["defaults"]["quality"], "normal");
  EXPECT_EQ(info["markers"], Json::Value(Json::arrayValue));  // nothing reported yet

  // The device reports low toner and an empty tray while it prints.
  ASSERT_TRUE(WriteFileBytes(Office("printer-status"),
                             "ATTR: marker-colors=#00FFFF,#000000 marker-levels=80,4 marker-low-levels=10,10 "
                             "marker-high-levels=100,100 marker-names=Cyan,Black marker-types=toner,toner\n"
                             "STATE: +toner-low-report,media-empty-warning\n"));
  Json::Value job;
  job["data"] = Base64Encode(OnePagePdf());
  job["printer"] = "kx-office";
  ASSERT_TRUE(PrintAndWait(job));
  unlink(Office("printer-status").c_str());
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();

  Json::Value status = Result([&](VARIANT* v) { control->getPrinterStatus(Text("kx-office").Get(), VARIANT_FALSE, v); });
  ASSERT_EQ(status["markers"].size(), 2u) << status.toStyledString();
  EXPECT_EQ(status["markers"][1]["name"], "Black");
  EXPECT_EQ(status["markers"][1]["color"], "#000000");
  EXPECT_EQ(status["markers"][1]["type"], "toner");
  EXPECT_EQ(status["markers"][1]["level"], 4);
  EXPECT_EQ(status["markers"][1]["lowLevel"], 10);
  EXPECT_EQ(status["markers"][0]["level"], 80);
  Json::Value words(Json::arrayValue);
  for (const auto& c : status["conditions"]) words.append(c["condition"].asString() + "/" + c["severity"].asString());
  EXPECT_TRUE(Has(words, "toner-low/report")) << status.toStyledString();
  EXPECT_TRUE(Has(words, "media-empty/warning")) << status.toStyledString();
  info = Result([&](VARIANT* v) { control->getPrinterInfo(Text("kx-office").Get(), v); });
  EXPECT_EQ(info["markers"], status["markers"]);
  EXPECT_EQ(info["conditions"], status["conditions"]);
}

TEST_F(PrinterFeaturesTest, JobOptionsReachTheDeviceAndWhatThePrinterLacksIsRefusedBeforeSubmission) {
  Json::Value job;
  job["data"] = Base64Encode(OnePagePdf());
  job["printer"] = "kx-office";
  job["mediaSource"] = "tray-2";
  job["mediaType"] = "labels";
  job["colorMode"] = "monochrome";
  job["quality"] = "high";
  job["resolution"] = "1200dpi";
  job["collate"] = true;
  job["copies"] = 2;
  job["pagesPerSheet"] = 2;
  job["outputBin"] = "rear";
  job["finishings"] = "staple-top-left";
  job["duplex"] = "long";
  job["paper"] = "A5";
  ASSERT_TRUE(PrintAndWait(job));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  const std::string options = Office("job-" + std::to_string(sink->DoneObject()["jobId"].asInt()) + ".options");
  ASSERT_TRUE(WaitForFile(options, 10000));
  const std::string given = " " + ReadFileBytes(options);
  for (const char* want : {" media=iso_a5_148x210mm", " media-source=tray-2", " media-type=labels", " print-color-mode=monochrome",
                           " print-quality=5", " printer-resolution=1200x1200dpi", " number-up=2", " output-bin=rear",
                           " finishings=20", " sides=two-sided-long-edge",
                           " multiple-document-handling=separate-documents-collated-copies"})
    EXPECT_NE(given.find(want), std::string::npos) << want << " not in" << given;

  // Each thing the printer lacks: an error naming it, and no job at the scheduler.
  const std::pair<const char*, const char*> lacking[] = {
      {R"({"printer": "kx-office", "mediaSource": "tray-9"})", "paper source 'tray-9' (it has: auto, tray-1, tray-2, manual)"},
      {R"({"printer": "kx-raw", "colorMode": "color"})", "colour mode 'color'"},
      {R"({"printer": "kx-raw", "duplex": true})", "duplex mode 'two-sided-long-edge'"},
      {R"({"printer": "kx-office", "finishings": "punch-dual-left"})", "finishing 'punch-dual-left'"},
      {R"({"printer": "kx-office", "paper": "A3"})", "paper 'iso_a3_297x420mm' (it has: iso_a4_210x297mm, iso_a5"},
      {R"({"printer": "kx-office", "paper": {"width": 62, "height": 29}})", "has no paper 'custom_62x29mm"},
  };
  for (const auto& [text, message] : lacking) {
    Json::Value bad;
    Json::Reader().parse(text, bad);
    bad["data"] = Base64Encode(OnePagePdf());
    ASSERT_TRUE(PrintAndWait(bad)) << text;
    EXPECT_EQ(sink->DoneText(), "error") << text;
    EXPECT_EQ(sink->DoneObject()["jobId"], 0) << text;
    EXPECT_NE(sink->DoneObject()["message"].asString().find(message), std::string::npos)
        << sink->DoneObject()["message"];
    EXPECT_EQ(LastMessageCode(), "optionUnsupported") << text;
  }
}

TEST_F(PrinterFeaturesTest, RawJobsArriveByteForByteAtAQueueAndAtAListedSocketPrinter) {
  // ESC/POS: initialise, centre, text, cut. Through the queue as the raw type.
  const std::string escpos = std::string("\x1b@\x1b" "a\x01Kestrix\n\x1dV\x00", 15);
  Json::Value job;
  job["printer"] = "kx-raw";
  job["raw"]["hex"] = "1b 40 1b 61 01 4b65737472697820 0a 1d 56 00";
  ASSERT_TRUE(PrintAndWait(job));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  EXPECT_EQ(ReadFileBytes(bench->CapturePath("raw", sink->DoneObject()["jobId"].asInt())),
            std::string("\x1b@\x1b" "a\x01Kestrix \n\x1dV\x00", 17));

  // Text in a printer's code page.
  job["raw"] = Json::Value(Json::objectValue);
  job["raw"]["text"] = "^XA^FDGr\xC3\xBC\xC3\x9F" "e^FS^XZ";
  job["raw"]["encoding"] = "ISO-8859-1";
  ASSERT_TRUE(PrintAndWait(job));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  EXPECT_EQ(ReadFileBytes(bench->CapturePath("raw", sink->DoneObject()["jobId"].asInt())), "^XA^FDGr\xFC\xDF" "e^FS^XZ");

  // A socket printer only when the user listed it.
  SocketPrinter printer;
  job = Json::Value(Json::objectValue);
  job["printer"] = printer.Address();
  job["raw"] = Base64Encode(escpos);
  ASSERT_TRUE(PrintAndWait(job));
  EXPECT_EQ(sink->DoneText(), "error");
  EXPECT_NE(sink->DoneObject()["message"].asString().find("not listed in \"rawPrinters\""), std::string::npos);
  ASSERT_TRUE(MakeFolders(m_folder / "config/kestrix"));
  ASSERT_TRUE(WriteFileBytes(m_folder / "config/kestrix/control.json",
                             "{\"rawPrinters\": [\"" + printer.Address() + "\"]}"));
  ASSERT_TRUE(PrintAndWait(job));
  ASSERT_EQ(sink->DoneText(), "success") << sink->DoneObject().toStyledString();
  EXPECT_EQ(printer.Received(), escpos);
  EXPECT_EQ(sink->Of(DISPID_PRINTEREVENT_ONJOBSTATE).back().args[0]["status"], "completed");

  // Wrong forms are refused at once, with the reason.
  const std::pair<const char*, const char*> refused[] = {
      {R"({"printer": "kx-raw", "raw": {"hex": "1b4"}})", "pairs of hex digits"},
      {R"({"printer": "kx-raw", "raw": {"hex": "1b", "text": "x"}})", "\"raw\" must be"},
      {R"({"printer": "kx-raw", "raw": "not base64!"})", "not valid base64"},
      {R"({"printer": "kx-raw", "raw": "G0A=", "mediaSource": "tray-1"})", "\"mediaSource\" cannot apply"},
      {R"({"html": "<p>x</p>", "printer": "socket://127.0.0.1:1"})", "not listed"},
  };
  for (const auto& [text, message] : refused) {
    Json::Value bad;
    Json::Reader().parse(text, bad);
    ASSERT_TRUE(PrintAndWait(bad)) << text;
    EXPECT_EQ(sink->DoneText(), "error") << text;
    EXPECT_NE(sink->DoneObject()["message"].asString().find(message), std::string::npos)
        << text << " -> " << sink->DoneObject()["message"];
  }
}
