// Several jobs at once: each job's events reach the sink that was advised
// last when the job started, exactly once, also after that sink has been
// unadvised, and nothing of a job comes after its OnDone.
#include <set>

#include "ControlFixture.h"
#include "control/formats/Base64.h"

namespace {
class JobRoutingTest : public CupsControlTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(CupsControlTest::SetUp());
    // The fixture's sink is not one of this test's listeners.
    AtlUnadvise(control.Get(), IID_IPrinterEvent, m_cookie);
    m_cookie = 0;
  }

  // A text job to a capture queue, titled title.
  void Print(const std::string& title, const std::string& printer = "kx-raw") {
    Json::Value job;
    job["follow"] = 5;  // a job on a stopped queue is not followed long
    job["data"] = Base64Encode("job " + title);
    job["type"] = "text/plain";
    job["printer"] = printer;
    job["title"] = title;
    control->print(Job(job).Get(), VARIANT_FALSE);
  }
  DWORD Advise(RecordingSink* s) {
    DWORD cookie = 0;
    EXPECT_EQ(AtlAdvise(control.Get(), static_cast<IDispatch*>(s), IID_IPrinterEvent, &cookie), S_OK);
    return cookie;
  }
  static size_t Dones(const RecordingSink& s) { return s.Of(DISPID_PRINTEREVENT_ONDONE).size(); }
};

// The control's job ids of every event a sink got.
std::set<std::string> JobIds(const RecordingSink& s) {
  std::set<std::string> ids;
  for (const auto& e : s.events) {
    const Json::Value& object = e.id == DISPID_PRINTEREVENT_ONDONE ? e.args[1] : e.args[0];
    ids.insert(object["id"].asString());
  }
  return ids;
}
}  // namespace

TEST_F(JobRoutingTest, EachJobReportsToTheListenerOfItsStartOnlyAndEndsWithOneDone) {
  // As the host does: each new job replaces the listener, a job without one unadvises only.
  auto a = RecordingSink::Create(), b = RecordingSink::Create(), c = RecordingSink::Create();
  DWORD cookie = Advise(a.Get());
  Print("first");
  AtlUnadvise(control.Get(), IID_IPrinterEvent, cookie);
  cookie = Advise(b.Get());
  Print("second");
  AtlUnadvise(control.Get(), IID_IPrinterEvent, cookie);
  Print("third: nobody listens");
  cookie = Advise(c.Get());
  Print("fourth", "kx-stopped");  // stays queued: c keeps its job
  ASSERT_TRUE(PumpUntil([&] { return Dones(*a) >= 1 && Dones(*b) >= 1; }, 60000));
  // Whatever else was still queued has arrived too.
  PumpUntil([] { return false; }, 300);

  for (auto* s : {a.Get(), b.Get()}) {
    ASSERT_EQ(Dones(*s), 1u);
    EXPECT_EQ(s->events.back().id, DISPID_PRINTEREVENT_ONDONE) << "an event after OnDone";
    EXPECT_EQ(s->DoneText(), "success") << s->DoneObject().toStyledString();
    EXPECT_EQ(JobIds(*s).size(), 1u) << "events of another job";
    EXPECT_FALSE(s->Of(DISPID_PRINTEREVENT_ONJOBSTATE).empty());
  }
  EXPECT_EQ(a->Of(DISPID_PRINTEREVENT_ONJOBSTATE).back().args[0]["document"], "first");
  EXPECT_EQ(b->Of(DISPID_PRINTEREVENT_ONJOBSTATE).back().args[0]["document"], "second");
  // c heard its own job only, and it is not done.
  EXPECT_EQ(Dones(*c), 0u);
  ASSERT_FALSE(c->events.empty());
  EXPECT_EQ(c->Of(DISPID_PRINTEREVENT_ONJOBSTATE).back().args[0]["document"], "fourth");
  EXPECT_EQ(JobIds(*c).size(), 1u);

  // Events of no job (a refused setting) go to the sinks advised now only.
  const size_t before = a->events.size();
  control->setupNormalOffset(Text("nonsense").Get());
  ASSERT_TRUE(PumpUntil([&] { return !c->Of(DISPID_PRINTEREVENT_ONMESSAGE).empty(); }, 5000));
  EXPECT_EQ(c->Of(DISPID_PRINTEREVENT_ONMESSAGE).back().args[0]["code"], "badOffset");
  EXPECT_EQ(a->events.size(), before);
  AtlUnadvise(control.Get(), IID_IPrinterEvent, cookie);
}

TEST_F(JobRoutingTest, AJobRefusedAtOnceReportsToItsOwnListenerToo) {
  auto a = RecordingSink::Create(), b = RecordingSink::Create();
  DWORD cookie = Advise(a.Get());
  Json::Value bad;
  bad["printer"] = "kx-raw";  // no content
  control->print(Job(bad).Get(), VARIANT_FALSE);
  AtlUnadvise(control.Get(), IID_IPrinterEvent, cookie);
  cookie = Advise(b.Get());
  Print("good");
  ASSERT_TRUE(PumpUntil([&] { return Dones(*a) >= 1 && Dones(*b) >= 1; }, 60000));
  EXPECT_EQ(a->DoneText(), "error");
  ASSERT_EQ(a->Of(DISPID_PRINTEREVENT_ONMESSAGE).size(), 1u);
  EXPECT_EQ(a->Of(DISPID_PRINTEREVENT_ONMESSAGE)[0].args[0]["code"], "badJob");
  EXPECT_EQ(b->DoneText(), "success");
  EXPECT_TRUE(b->Of(DISPID_PRINTEREVENT_ONMESSAGE).empty());
  AtlUnadvise(control.Get(), IID_IPrinterEvent, cookie);
}
