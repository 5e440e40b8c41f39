// The event listener: its COM object, the event names and the messages it writes.
#include <thread>

#include "BridgeFixture.h"
#include "bridge/PrinterListener.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The listener's owner as the control proxy plays it: the bridge, the tab, the output.
class FakeOwner : public ListenerOwner {
 public:
  explicit FakeOwner(ScriptValueBridge& bridge) : m_bridge(bridge) {}
  ScriptValueBridge& Bridge() override { return m_bridge; }
  Json::Value GetTab() const override { return tab; }
  void WriteMessage(const std::string& text) override { messages.push_back(text); }

  Json::Value tab;
  std::vector<std::string> messages;

 private:
  ScriptValueBridge& m_bridge;
};

class Listener : public BridgeFixture {
 protected:
  void SetUp() override {
    BridgeFixture::SetUp();
    listener = CPrinterListener::CreateInstance();
    listener->AddRef();
  }
  void TearDown() override {
    EXPECT_EQ(listener->Release(), 0u);
    BridgeFixture::TearDown();
  }

  // A callback object with the given string members; ints for other kinds.
  void Attach(std::initializer_list<std::pair<const char16_t*, const char16_t*>> names) {
    Held callback(engine.NewObject());
    for (auto& [name, value] : names) callback->Set(name, Variant::FromString(value));
    listener->SetEventNames(callback.object, &owner);
  }

  FakeObject* MakeObject(std::initializer_list<std::pair<const char16_t*, Variant>> members) {
    FakeObject* o = engine.NewObject();
    for (auto& [name, value] : members) o->Set(name, value);
    return o;
  }

  FakeOwner owner{bridge};
  CPrinterListener* listener = nullptr;
};

TEST_F(Listener, IsOneComObjectBehindEveryInterface) {
  CPrinterListener* fresh = CPrinterListener::CreateInstance();
  EXPECT_EQ(fresh->AddRef(), 1u);  // created with a count of 0
  void* unknown = nullptr;
  void* dispatch = nullptr;
  void* events = nullptr;
  ASSERT_EQ(fresh->QueryInterface(IID_IUnknown, &unknown), S_OK);
  ASSERT_EQ(fresh->QueryInterface(IID_IDispatch, &dispatch), S_OK);
  ASSERT_EQ(fresh->QueryInterface(IID_IPrinterEvent, &events), S_OK);
  EXPECT_EQ(unknown, dispatch);
  EXPECT_EQ(dispatch, events);
  EXPECT_EQ(unknown, static_cast<IPrinterEvent*>(fresh));
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(fresh->QueryInterface(IID_IDispatchEx, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(fresh->Release(), 3u);
  fresh->Release();
  fresh->Release();
  EXPECT_EQ(fresh->Release(), 0u);  // gone (the sanitizer build sees any leak or double delete)
}

TEST_F(Listener, CountsReferencesAcrossThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this] {
      for (int i = 0; i < 20000; ++i) {
        listener->AddRef();
        listener->Release();
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(listener->AddRef(), 2u);
  EXPECT_EQ(listener->Release(), 1u);
}

TEST_F(Listener, EventNamesAreReadByNameAsText) {
  Held callback(engine.NewObject());
  callback->Set(u"done", Variant::FromString(u"finished"));
  callback->Set(u"onState", Variant::FromLong(5));  // not a string: no name
  callback->Set(u"listener", Variant::FromString(u"caf\u00E9"));
  listener->SetEventNames(callback.object, &owner);
  EXPECT_EQ(listener->DoneEvent(), "finished");
  EXPECT_EQ(listener->StateEvent(), "");
  EXPECT_EQ(listener->ListenerEvent(), "caf\xC3\xA9");
  EXPECT_THAT(engine.log, ElementsAre("GetIDsOfNames done", "GET done", "GetIDsOfNames onState", "GET onState",
                                      "GetIDsOfNames listener", "GET listener"));
}

TEST_F(Listener, ReadStringPropertyGivesEmptyTextWhenItCannotRead) {
  Held o(engine.NewObject());
  o->Set(u"a", Variant::FromString(u"x"));
  o->Set(u"b", Variant::FromBool(true));
  o->Set(u"n", Variant());
  EXPECT_EQ(ReadStringProperty(o.object, u"a"), "x");
  EXPECT_EQ(ReadStringProperty(o.object, u"b"), "");
  EXPECT_EQ(ReadStringProperty(o.object, u"n"), "");
  EXPECT_EQ(ReadStringProperty(o.object, u"missing"), "");
  EXPECT_EQ(ReadStringProperty(nullptr, u"a"), "");
  engine.Fail(FakeOp::Invoke, u"a", DISPATCH_PROPERTYGET);
  EXPECT_EQ(ReadStringProperty(o.object, u"a"), "");
}

TEST_F(Listener, OnDoneInListenerModeWritesObjectsWithAType) {
  Attach({{u"listener", u"jobs"}, {u"done", u"finished"}});
  owner.tab = 7;
  Held typed(MakeObject({{u"type", Variant::FromString(u"done")}, {u"pages", Variant::FromLong(2)}}));
  Held untyped(MakeObject({{u"pages", Variant::FromLong(2)}}));
  Held arrayLike(MakeObject({{u"length", Variant::FromLong(0)}}));
  Bstr text(u"ok");
  EXPECT_EQ(listener->OnDone(text.Get(), typed.object), S_OK);
  EXPECT_EQ(listener->OnDone(text.Get(), untyped.object), S_OK);    // nothing, though "done" is set
  EXPECT_EQ(listener->OnDone(text.Get(), arrayLike.object), S_OK);  // nothing
  EXPECT_EQ(listener->OnDone(text.Get(), nullptr), S_OK);           // nothing
  EXPECT_THAT(owner.messages, ElementsAre("{\"event\":\"jobs\",\"params\":[{\"pages\":2,\"type\":\"done\"}],"
                                          "\"tab\":7}\n"));
}

TEST_F(Listener, OnDoneInDoneModeWritesTextAndObject) {
  Attach({{u"done", u"finished"}});
  Held object(MakeObject({{u"ok", Variant::FromBool(true)}}));
  Bstr text(u"r\u00E9sum\u00E9");
  listener->OnDone(text.Get(), object.object);
  listener->OnDone(nullptr, nullptr);
  EXPECT_THAT(owner.messages,
              ElementsAre("{\"event\":\"finished\",\"params\":[\"r\xC3\xA9sum\xC3\xA9\",{\"ok\":true}],\"tab\":null}\n",
                          "{\"event\":\"finished\",\"params\":[\"\",null],\"tab\":null}\n"));
}

TEST_F(Listener, OnDoneWithoutNamesWritesNothing) {
  Attach({{u"onState", u"state"}});
  Held object(MakeObject({{u"type", Variant::FromString(u"x")}}));
  listener->OnDone(nullptr, object.object);
  EXPECT_THAT(owner.messages, IsEmpty());
}

TEST_F(Listener, OnJobStateReadsTheTwelveMembersInOrder) {
  Attach({{u"onState", u"state"}, {u"listener", u"jobs"}});
  owner.tab = "t1";
  Held job(MakeObject({{u"status", Variant::FromLong(3)},
                       {u"document", Variant::FromString(u"a.pdf")},
                       {u"pagesPrinted", Variant::FromLong(1)},
                       {u"other", Variant::FromLong(9)}}));
  engine.log.clear();
  EXPECT_EQ(listener->OnJobState(job.object), S_OK);
  std::vector<std::string> lookups;
  for (const std::string& entry : engine.log)
    if (entry.rfind("GetIDsOfNames", 0) == 0) lookups.push_back(entry.substr(14));
  EXPECT_THAT(lookups, ElementsAre("document", "machineName", "position", "pagesPrinted", "printerName", "size",
                                   "statusText", "submittedAt", "totalPages", "type", "userName", "status"));
  EXPECT_THAT(owner.messages, ElementsAre("{\n"
                                          "   \"event\" : \"state\",\n"
                                          "   \"params\" : [\n"
                                          "      {\n"
                                          "         \"document\" : \"a.pdf\",\n"
                                          "         \"pagesPrinted\" : 1,\n"
                                          "         \"status\" : 3\n"
                                          "      }\n"
                                          "   ],\n"
                                          "   \"tab\" : \"t1\"\n"
                                          "}\n"));
}

TEST_F(Listener, OnJobStateNameChoiceAndMissingMembers) {
  Held empty(engine.NewObject());
  Attach({{u"listener", u"jobs"}, {u"done", u"finished"}});
  listener->OnJobState(empty.object);
  Attach({{u"done", u"finished"}});
  listener->OnJobState(empty.object);  // nothing
  Held job(MakeObject({{u"size", Variant::FromLong(10)}}));
  engine.Fail(FakeOp::Invoke, u"size", DISPATCH_PROPERTYGET);
  Attach({{u"onState", u"state"}});
  listener->OnJobState(job.object);  // the member that cannot be read is left out
  const std::string emptyRecord = "{\n   \"event\" : \"%s\",\n   \"params\" : [ {} ],\n   \"tab\" : null\n}\n";
  auto with = [&](const char* name) {
    std::string s = emptyRecord;
    return s.replace(s.find("%s"), 2, name);
  };
  EXPECT_THAT(owner.messages, ElementsAre(with("jobs"), with("state")));
}

TEST_F(Listener, OnMessageSetsTheTab) {
  Attach({});  // no names needed
  owner.tab = 12;
  Held object(MakeObject({{u"type", Variant::FromString(u"info")}, {u"tab", Variant::FromString(u"old")}}));
  listener->OnMessage(object.object);
  owner.tab = Json::Value();
  Held plain(MakeObject({{u"text", Variant::FromString(u"hi")}}));
  listener->OnMessage(plain.object);
  EXPECT_THAT(owner.messages, ElementsAre("{\n   \"tab\" : 12,\n   \"type\" : \"info\"\n}\n",
                                          "{\n   \"tab\" : null,\n   \"text\" : \"hi\"\n}\n"));
}

TEST_F(Listener, OnMessageDropsWhatIsNotAnObject) {
  Attach({});
  Held array(engine.NewArray());
  array->Set(u"0", Variant::FromLong(4));
  array->Set(u"length", Variant::FromLong(1));
  EXPECT_EQ(listener->OnMessage(array.object), S_OK);
  EXPECT_EQ(listener->OnMessage(nullptr), S_OK);
  EXPECT_THAT(owner.messages, IsEmpty());
}

TEST_F(Listener, EventsBeforeNamesAreSetWriteNothing) {
  Held object(MakeObject({{u"type", Variant::FromString(u"x")}}));
  EXPECT_EQ(listener->OnDone(nullptr, object.object), S_OK);
  EXPECT_EQ(listener->OnJobState(object.object), S_OK);
  EXPECT_EQ(listener->OnMessage(object.object), S_OK);
  EXPECT_THAT(owner.messages, IsEmpty());
}

TEST_F(Listener, DispatchNamesComeFromTheFixedTable) {
  const char16_t* names[] = {u"OnDone", u"onjobstate", u"OnMessage", u"OnOther"};
  DISPID ids[4];
  for (int i = 0; i < 4; ++i)
    listener->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&names[i]), 1, LOCALE_USER_DEFAULT, &ids[i]);
  EXPECT_THAT(ids, ElementsAre(DISPID_PRINTEREVENT_ONDONE, DISPID_PRINTEREVENT_ONJOBSTATE,
                               DISPID_PRINTEREVENT_ONMESSAGE, DISPID_UNKNOWN));
  DISPID id;
  EXPECT_EQ(listener->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&names[3]), 1, 0, &id), DISP_E_UNKNOWNNAME);
  UINT count = 5;
  EXPECT_EQ(listener->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(Listener, InvokeTakesArgumentsInReverseOrder) {
  Attach({{u"done", u"finished"}});
  Held object(MakeObject({{u"n", Variant::FromLong(1)}}));
  VARIANT args[2];
  Variant::FromDispatch(object.object).Detach(&args[0]);  // the last argument first
  Variant::FromString(u"text").Detach(&args[1]);
  DISPPARAMS params = {args, nullptr, 2, 0};
  EXPECT_EQ(listener->Invoke(DISPID_PRINTEREVENT_ONDONE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                             nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_THAT(owner.messages, ElementsAre("{\"event\":\"finished\",\"params\":[\"text\",{\"n\":1}],\"tab\":null}\n"));

  // A wrong count or kind is refused before the event runs.
  UINT argErr = 99;
  params.cArgs = 1;
  EXPECT_EQ(listener->Invoke(DISPID_PRINTEREVENT_ONDONE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                             &argErr),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(listener->Invoke(DISPID_PRINTEREVENT_ONMESSAGE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                             nullptr, &argErr),
            S_OK);  // args[0] is the object
  params.rgvarg = &args[1];
  EXPECT_EQ(listener->Invoke(DISPID_PRINTEREVENT_ONJOBSTATE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                             nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  EXPECT_EQ(listener->Invoke(42, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(owner.messages.size(), 2u);  // the OnMessage call above wrote one
  VariantClear(&args[0]);
  VariantClear(&args[1]);
}

}  // namespace
