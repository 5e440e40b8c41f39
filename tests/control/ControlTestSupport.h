// Shared pieces of the control's tests: temporary folders (TestFolders.h), a private CUPS
// scheduler (tests/control/cups/start-cups.sh), an event sink that records
// what the control fires, and a message pump with a deadline.
#pragma once

#include <json/json.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestFolders.h"
#include "platform/ComPtr.h"

// A private scheduler with the queues kx-pdf, kx-raw, kx-stopped, kx-offline
// (see start-cups.sh). Get() sets CUPS_SERVER and CUPS_SERVERROOT for this
// process and the processes it starts. HOME is a private folder for the whole
// test program (per-user printer defaults land there).
class CupsBench {
 public:
  // Started once per test program; false with a message when it cannot be.
  static CupsBench* Get(std::string* error);
  const std::string& Folder() const { return m_folder->Path(); }
  const std::string& Server() const { return m_server; }
  // The newest capture file of a queue folder ("pdf" or "raw") for a CUPS job id.
  std::string CapturePath(const std::string& kind, int jobId) const;
  // Points libcups of this thread at the bench again (after a test changed it).
  void Select() const;
  ~CupsBench();

 private:
  CupsBench() = default;
  std::unique_ptr<TempFolder> m_folder;
  std::string m_server;
};

// What the control fired, in order, with the thread it fired on.
struct FiredEvent {
  DISPID id;
  Json::Value args;  // in call order (OnDone: [text, object])
  std::thread::id thread;
};

class RecordingSink : public IDispatch {
 public:
  static ComPtr<RecordingSink> Create();
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

  std::vector<FiredEvent> events;
  // The events with that dispatch id.
  std::vector<FiredEvent> Of(DISPID id) const;
  bool HasDone() const;
  // The first OnDone's object ({} when none).
  Json::Value DoneObject() const;
  std::string DoneText() const;

 private:
  RecordingSink() = default;
  virtual ~RecordingSink() = default;
  ULONG m_refs = 0;
};

// Pumps the thread's messages until done() or the deadline; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 60000);
