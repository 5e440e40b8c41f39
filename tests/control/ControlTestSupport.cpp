#include "ControlTestSupport.h"

#include <cups/cups.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "control/members/AutomationToJson.h"
#include "platform/MessageLoop.h"

namespace {
// The whole test program runs with a private HOME, set before main and so
// before libcups first reads it (it keeps per-user defaults there).
struct PrivateHome {
  PrivateHome() { setenv("HOME", folder.Path().c_str(), 1); }
  TempFolder folder;
} g_privateHome;
}  // namespace

CupsBench* CupsBench::Get(std::string* error) {
  static std::unique_ptr<CupsBench> bench;
  static std::string failure;
  if (bench) return bench.get();
  if (!failure.empty()) {
    *error = failure;
    return nullptr;
  }
  auto made = std::unique_ptr<CupsBench>(new CupsBench());
  made->m_folder = std::make_unique<TempFolder>();
  std::string command = std::string("sh ") + KX_CUPS_SCRIPTS + "/start-cups.sh " + made->Folder() + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe)) output += buffer;
  int status = pipe ? pclose(pipe) : -1;
  while (!output.empty() && output.back() == '\n') output.pop_back();
  if (status != 0 || output.empty() || output[0] != '/') {
    failure = "start-cups.sh failed: " + output;
    *error = failure;
    return nullptr;
  }
  made->m_server = output;
  setenv("CUPS_SERVER", made->m_server.c_str(), 1);
  setenv("CUPS_SERVERROOT", (made->Folder() + "/etc").c_str(), 1);
  made->Select();
  bench = std::move(made);
  return bench.get();
}

CupsBench::~CupsBench() {
  std::string command = std::string("sh ") + KX_CUPS_SCRIPTS + "/stop-cups.sh " + Folder();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "stop-cups.sh failed\n");
}

void CupsBench::Select() const { cupsSetServer(m_server.c_str()); }

std::string CupsBench::CapturePath(const std::string& kind, int jobId) const {
  return Folder() + "/out/" + kind + "/job-" + std::to_string(jobId) + ".prn";
}

ComPtr<RecordingSink> RecordingSink::Create() { return ComPtr<RecordingSink>(new RecordingSink()); }

HRESULT RecordingSink::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG RecordingSink::AddRef() { return ++m_refs; }

ULONG RecordingSink::Release() {
  ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT RecordingSink::GetTypeInfoCount(UINT* pctinfo) {
  *pctinfo = 0;
  return S_OK;
}
HRESULT RecordingSink::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  *ppTInfo = nullptr;
  return E_NOTIMPL;
}
HRESULT RecordingSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }

HRESULT RecordingSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) {
  FiredEvent event{id, Json::Value(Json::arrayValue), std::this_thread::get_id()};
  // Arguments arrive last first.
  for (UINT i = params ? params->cArgs : 0; i > 0; --i) event.args.append(VariantToJsonValue(params->rgvarg[i - 1]));
  events.push_back(std::move(event));
  return S_OK;
}

std::vector<FiredEvent> RecordingSink::Of(DISPID id) const {
  std::vector<FiredEvent> out;
  for (const auto& e : events)
    if (e.id == id) out.push_back(e);
  return out;
}

bool RecordingSink::HasDone() const { return !Of(1).empty(); }

Json::Value RecordingSink::DoneObject() const {
  auto done = Of(1);
  return done.empty() ? Json::Value(Json::objectValue) : done[0].args[1];
}

std::string RecordingSink::DoneText() const {
  auto done = Of(1);
  return done.empty() ? std::string() : done[0].args[0].asString();
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    MSG msg;
    if (GetMessageTimeout(&msg, static_cast<DWORD>(std::min<long long>(left.count(), 100)))) DispatchMessageW(&msg);
  }
  return true;
}
