// The printer members against a private scheduler (start-cups.sh).
#include <cups/cups.h>

#include "ControlFixture.h"
#include "control/members/AutomationToJson.h"

using PrinterControlTest = CupsControlTest;

TEST_F(PrinterControlTest, ListsQueuesAndTheDefaultAndSetsAPerUserDefault) {
  Json::Value printers = Result([&](VARIANT* v) { control->getPrinters(v); });
  Json::Value expected(Json::arrayValue);
  for (const char* name : {"kx-office", "kx-offline", "kx-pdf", "kx-raw", "kx-stopped"}) expected.append(name);
  EXPECT_EQ(printers, expected);
  EXPECT_EQ(Result([&](VARIANT* v) { control->getDefaultPrinter(v); }), "kx-pdf");

  control->setDefaultPrinter(Text("kx-raw").Get());
  EXPECT_EQ(Result([&](VARIANT* v) { control->getDefaultPrinter(v); }), "kx-raw");
  // Per user: written to the user's lpoptions, the scheduler's default is unchanged.
  EXPECT_NE(ReadFileBytes(std::string(getenv("HOME")) + "/.cups/lpoptions").find("Default kx-raw"), std::string::npos);
  http_t* http = httpConnect2(bench->Server().c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
  ASSERT_NE(http, nullptr);
  const char* serverDefault = cupsGetDefault2(http);
  EXPECT_STREQ(serverDefault, "kx-pdf");
  httpClose(http);
  Json::Value info = Result([&](VARIANT* v) { control->getPrinterInfo(Text("kx-raw").Get(), v); });
  EXPECT_EQ(info["isDefault"], true);

  control->setDefaultPrinter(Text("no-such-queue").Get());
  ASSERT_TRUE(WaitMessages(1));
  EXPECT_NE(LastMessageText().find("no-such-queue"), std::string::npos);
  EXPECT_EQ(Result([&](VARIANT* v) { control->getDefaultPrinter(v); }), "kx-raw");
  control->setDefaultPrinter(Text("kx-pdf").Get());
  EXPECT_EQ(Result([&](VARIANT* v) { control->getDefaultPrinter(v); }), "kx-pdf");
}

TEST_F(PrinterControlTest, PapersAreInMillimetresWithA4AboutTwoHundredTenByTwoNinetySeven) {
  Json::Value papers = Result([&](VARIANT* v) { control->getPapers(Text("kx-pdf").Get(), v); });
  ASSERT_TRUE(papers.isArray());
  const Json::Value* a4 = nullptr;
  for (const auto& paper : papers)
    if (paper["name"] == "iso_a4_210x297mm") a4 = &paper;
  ASSERT_NE(a4, nullptr) << papers.toStyledString();
  EXPECT_NEAR((*a4)["width"].asDouble(), 210, 0.5);
  EXPECT_NEAR((*a4)["height"].asDouble(), 297, 0.5);
  EXPECT_NEAR((*a4)["margins"]["left"].asDouble(), 4.9, 0.5);  // 14 pt in the queue's description
  EXPECT_EQ(papers.size(), 3u);  // A4, A5, Letter, each once
  // The default queue when no name is given.
  EXPECT_EQ(Result([&](VARIANT* v) { control->getPapers(Text("").Get(), v); }), papers);
}

TEST_F(PrinterControlTest, StatusOfAStoppedQueueWithItsJobs) {
  Json::Value status = Result([&](VARIANT* v) { control->getPrinterStatus(Text("kx-stopped").Get(), VARIANT_TRUE, v); });
  EXPECT_EQ(status["state"], "stopped");
  EXPECT_EQ(status["message"], "Stopped for maintenance");
  bool paused = false;
  for (const auto& reason : status["reasons"]) paused |= reason == "paused";
  EXPECT_TRUE(paused) << status.toStyledString();
  EXPECT_TRUE(status["jobs"].isArray());
  Json::Value idle = Result([&](VARIANT* v) { control->getPrinterStatus(Text("kx-raw").Get(), VARIANT_FALSE, v); });
  EXPECT_EQ(idle["state"], "idle");
  EXPECT_EQ(idle["accepting"], true);
  EXPECT_FALSE(idle.isMember("jobs"));
  Json::Value missing = Result([&](VARIANT* v) { control->getPrinterStatus(Text("nope").Get(), VARIANT_FALSE, v); });
  EXPECT_EQ(missing["state"], "unknown");
  EXPECT_NE(missing["message"].asString().find("nope"), std::string::npos);
}

TEST_F(PrinterControlTest, InfoAndCustomPaperSupport) {
  Json::Value info = Result([&](VARIANT* v) { control->getPrinterInfo(Text("kx-pdf").Get(), v); });
  EXPECT_EQ(info["name"], "kx-pdf");
  EXPECT_EQ(info["info"], "PDF capture");
  EXPECT_EQ(info["location"], "Test bench");
  EXPECT_EQ(info["makeAndModel"], "Kestrix PDF Capture");
  EXPECT_EQ(info["state"], "idle");
  EXPECT_EQ(info["accepting"], true);
  EXPECT_EQ(info["defaultPaper"]["name"], "iso_a4_210x297mm");
  EXPECT_EQ(Result([&](VARIANT* v) { control->getPrinterInfo(Text("bad/name").Get(), v); }), Json::Value());
  BOOL custom = FALSE;
  control->isCustomPaperSupported(Text("kx-pdf").Get(), &custom);
  EXPECT_TRUE(custom);
  control->isCustomPaperSupported(Text("kx-raw").Get(), &custom);
  EXPECT_FALSE(custom);
}

TEST_F(PrinterControlTest, UnreachableSchedulerFailsWithAClearMessage) {
  const std::string gone = m_folder / "no-scheduler.sock";
  ScopedEnv server("CUPS_SERVER", gone);
  cupsSetServer(nullptr);  // this thread's libcups reads the variable again
  Json::Value printers = Result([&](VARIANT* v) { control->getPrinters(v); });
  EXPECT_EQ(printers, Json::Value(Json::arrayValue));
  Json::Value status = Result([&](VARIANT* v) { control->getPrinterStatus(Text("kx-pdf").Get(), VARIANT_FALSE, v); });
  EXPECT_EQ(status["state"], "unknown");
  EXPECT_EQ(status["message"].asString().rfind("scheduler not reachable at " + gone, 0), 0u) << status["message"];
  ASSERT_TRUE(WaitMessages(2));
  EXPECT_EQ(LastMessageCode(), "schedulerUnreachable");

  // A job meets the same message in the job process.
  sink->events.clear();
  Json::Value job;
  job["data"] = "aGk=";
  job["type"] = "text/plain";
  control->print(Job(job).Get(), VARIANT_FALSE);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "error");
  EXPECT_EQ(sink->DoneObject()["message"].asString().rfind("scheduler not reachable at " + gone, 0), 0u);
  bench->Select();
}
