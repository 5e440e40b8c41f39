// The members about this machine and this control, and its registration.
#include <cctype>

#include "ControlFixture.h"
#include "control/base/ControlPaths.h"
#include "control/site/DeviceIds.h"
#include "control/members/AutomationToJson.h"
#include "control/object/PrinterControlObject.h"
#include "control/formats/SystemInfo.h"
#include "platform/webbrowser/AxHost.h"

TEST(Registration, TheClassIdCreatesTheLinuxControl) {
  UnregisterControlClass(CLSID_KestrixPrinter);
  IPrinterControl* control = nullptr;
  EXPECT_EQ(CreateControlInstance(CLSID_KestrixPrinter, IID_IPrinterControl, reinterpret_cast<void**>(&control)),
            REGDB_E_CLASSNOTREG);
  RegisterLinuxPrinterControl();
  ASSERT_EQ(CreateControlInstance(CLSID_KestrixPrinter, IID_IPrinterControl, reinterpret_cast<void**>(&control)), S_OK);
  ComPtr<IPrinterControl> held = ComPtr<IPrinterControl>::Attach(control);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(held.QueryInterface(IID_IConnectionPointContainer, std::addressof(container)), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IPrinterEvent, &point), S_OK);
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &point), CONNECT_E_NOCONNECTION);
  UnregisterControlClass(CLSID_KestrixPrinter);
}

TEST_F(ControlTest, UnadvisedSinksHearNothingMore) {
  ASSERT_EQ(AtlUnadvise(control.Get(), IID_IPrinterEvent, m_cookie), S_OK);
  EXPECT_EQ(AtlUnadvise(control.Get(), IID_IPrinterEvent, m_cookie), CONNECT_E_NOCONNECTION);
  m_cookie = 0;
  auto second = RecordingSink::Create();
  DWORD cookie = 0;
  ASSERT_EQ(AtlAdvise(control.Get(), static_cast<IDispatch*>(second.Get()), IID_IPrinterEvent, &cookie), S_OK);
  control->about();
  ASSERT_TRUE(PumpUntil([&] { return !second->events.empty(); }, 10000));
  EXPECT_TRUE(sink->events.empty());
  const Json::Value about = second->events[0].args[0];
  EXPECT_EQ(about["type"], "about");
  EXPECT_EQ(about["version"], ControlVersion());
  AtlUnadvise(control.Get(), IID_IPrinterEvent, cookie);
}

TEST_F(ControlTest, IsImplementedAnswersForRealMembersOnly) {
  BOOL yes = FALSE;
  for (const auto& name : CLinuxPrinterControl::ImplementedMembers()) {
    control->isImplemented(Text(name).Get(), &yes);
    EXPECT_TRUE(yes) << name;
  }
  for (const char* name : {"chooseFile", "showPageSetupDialog", "reserved9", "", "PRINT", "print "}) {
    control->isImplemented(Text(name).Get(), &yes);
    EXPECT_FALSE(yes) << name;
  }
  // Without a desktop the dialogs answer "nothing chosen" at once.
  Bstr chosen = Bstr::Attach(Utf8ToBstr("stale"));
  control->chooseFile(Text("Pick").Get(), Text("*.pdf").Get(), VARIANT_FALSE, &chosen);
  EXPECT_FALSE(chosen);
  Variant setup = Variant::FromLong(1);
  control->showPageSetupDialog(&setup);
  EXPECT_EQ(setup.vt, VT_EMPTY);
}

TEST_F(ControlTest, AbsoluteAddressesResolveAgainstTheGivenBaseOrThePage) {
  Bstr out;
  Variant base = Variant::FromString(u"https://shop.test/orders/list.html?x=1");
  control->getAbsoluteURL(Text("../img/logo.png").Get(), &base, &out);
  EXPECT_EQ(BstrToUtf8(out.Get()), "https://shop.test/img/logo.png");
  control->setPageURL(Text("http://intranet.test/app/page.html").Get());
  Variant none;
  control->getAbsoluteURL(Text("print.css").Get(), &none, &out);
  EXPECT_EQ(BstrToUtf8(out.Get()), "http://intranet.test/app/print.css");
  control->getAbsoluteURL(Text("https://other.test/a").Get(), &none, &out);
  EXPECT_EQ(BstrToUtf8(out.Get()), "https://other.test/a");
}

TEST_F(ControlTest, LiveUpdateComparesVersions) {
  LONG answer = 7;
  control->liveUpdate(Text("https://updates.test/").Get(), Text("999.0").Get(), &answer);
  EXPECT_EQ(answer, 1);
  control->liveUpdate(nullptr, Text(ControlVersion()).Get(), &answer);
  EXPECT_EQ(answer, 0);
  control->liveUpdate(nullptr, Text("0.0.1").Get(), &answer);
  EXPECT_EQ(answer, 0);
  control->liveUpdate(nullptr, Text("latest").Get(), &answer);
  EXPECT_EQ(answer, -1);
}

TEST_F(ControlTest, MachineFacts) {
  Bstr text;
  control->getVersion(&text);
  int order = 0;
  EXPECT_TRUE(CompareVersions(BstrToUtf8(text.Get()), "0", &order)) << BstrToUtf8(text.Get());
  control->getLocalMacAddress(&text);
  std::string mac = BstrToUtf8(text.Get());
  if (!mac.empty()) {
    ASSERT_EQ(mac.size(), 17u) << mac;
    for (size_t i = 0; i < mac.size(); ++i) {
      if (i % 3 == 2) EXPECT_EQ(mac[i], '-') << mac;
      else EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(mac[i])) && !std::islower(static_cast<unsigned char>(mac[i]))) << mac;
    }
  }
  control->getCPUSerialNo(&text);
  if (!MachineId().empty()) {
    EXPECT_EQ(BstrToUtf8(text.Get()).size(), 32u);
    EXPECT_NE(BstrToUtf8(text.Get()), MachineId());
  }
  Variant fonts;
  control->getFonts(&fonts);
  ASSERT_EQ(fonts.vt, VT_DISPATCH);
  Json::Value list = VariantToJsonValue(fonts);
  std::vector<std::string> names;
  for (const auto& f : list) names.push_back(f.asString());
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
  BOOL printable = FALSE;
  control->isPrintableFileType(Text("invoice.PDF").Get(), &printable);
  EXPECT_TRUE(printable);
  control->isPrintableFileType(Text("application/zip").Get(), &printable);
  EXPECT_FALSE(printable);
}

TEST_F(ControlTest, SettersCheckWhatTheyAreGiven) {
  BOOL previous = FALSE;
  control->setPrintBackground(VARIANT_FALSE, &previous);
  EXPECT_TRUE(previous);  // printing backgrounds is on until turned off
  control->setPrintBackground(VARIANT_TRUE, &previous);
  EXPECT_FALSE(previous);
  control->setupNormalOffset(Text("3,-2").Get());
  control->setupNormalOffset(Text("").Get());
  control->setDragCSS(Text(".drag").Get(), Text("color: red").Get());
  control->setDragCSS(Text(".drag").Get(), Text("").Get());
  // Events keep their order: once about's message is there, any complaint
  // about the calls before it would be there too.
  control->about();
  ASSERT_TRUE(WaitMessages(1));
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0].args[0]["type"], "about");
  sink->events.clear();
  control->setupNormalOffset(Text("left").Get());
  control->setupNormalOffset(Text("500").Get());
  control->setDragCSS(Text("p { } body").Get(), Text("x").Get());
  control->setDragCSS(Text("p").Get(), Text("color: red } </style><script>").Get());
  ASSERT_TRUE(WaitMessages(4));
  EXPECT_EQ(sink->Of(DISPID_PRINTEREVENT_ONMESSAGE).size(), 4u);
}

TEST(DeviceIds, EachSiteGetsItsOwnStableKeyedValue) {
  const std::string machine = "5f1e9b0c4d2a4e7f8a9b0c1d2e3f4a5b";
  const std::string a = SiteCpuSerial(machine, "https://shop.example");
  ASSERT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(SiteCpuSerial(machine, "https://shop.example"), a);
  EXPECT_NE(SiteCpuSerial(machine, "https://clinic.example"), a);
  EXPECT_NE(SiteCpuSerial("6f1e9b0c4d2a4e7f8a9b0c1d2e3f4a5b", "https://shop.example"), a);
  EXPECT_NE(a, machine);
  EXPECT_EQ(SiteCpuSerial("", "https://shop.example"), "");

  const std::string mac = "00-1A-2B-3C-4D-5E";
  const std::string m = SiteMacAddress(mac, machine, "https://shop.example");
  ASSERT_EQ(m.size(), 17u);
  EXPECT_EQ(std::stoi(m.substr(0, 2), nullptr, 16) & 3, 2) << m;  // locally administered, unicast
  EXPECT_EQ(SiteMacAddress(mac, machine, "https://shop.example"), m);
  EXPECT_NE(SiteMacAddress(mac, machine, "https://clinic.example"), m);
  EXPECT_NE(SiteMacAddress("00-1A-2B-3C-4D-5F", machine, "https://shop.example"), m);
  EXPECT_EQ(SiteMacAddress("", machine, "https://shop.example"), "");
}

TEST_F(ControlTest, DeviceIdentifiersAreKeyedPerSiteUnlessTheUserSaysRaw) {
  auto ids = [&](const std::string& url) {
    control->setPageURL(Text(url).Get());
    Bstr serial, mac;
    control->getCPUSerialNo(&serial);
    control->getLocalMacAddress(&mac);
    return std::make_pair(BstrToUtf8(serial.Get()), BstrToUtf8(mac.Get()));
  };
  const auto shop = ids("https://shop.example/labels");
  // Every spelling of the site is the site (one origin parser: WebOrigin).
  for (const char* same : {"https://SHOP.example:443/other?x=1", "https://%73hop.example/", "https://shop.example./",
                           "https:\\\\shop.example\\a", "https://x@shop.example:0443/"})
    EXPECT_EQ(ids(same), shop) << same;
  const auto clinic = ids("https://clinic.example/");
  EXPECT_EQ(shop.first, SiteCpuSerial(MachineId(), "https://shop.example"));
  EXPECT_EQ(shop.second, SiteMacAddress(LocalMacAddress(), MachineId(), "https://shop.example"));
  if (!MachineId().empty()) {
    EXPECT_NE(shop.first, clinic.first);
  }
  if (!LocalMacAddress().empty()) {
    EXPECT_NE(shop.second, clinic.second);
  }

  ASSERT_TRUE(MakeFolders(m_folder / "config/kestrix", 0700));
  ASSERT_TRUE(WriteFileBytes(m_folder / "config/kestrix/control.json", R"({"deviceIdentifiers": "raw"})"));
  EXPECT_EQ(ids("https://shop.example/"), std::make_pair(MachineId(), LocalMacAddress()));
}
