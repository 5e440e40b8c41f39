// The listener attachment: at most one CPrinterListener is connected to the
// control's IPrinterEvent connection point; every print-type request
// replaces it, and attaches a new one only when its callback object has a
// "_hasCallback" member.
#include "dispatch/ControlProxy.h"

namespace {
// Reads a member by name without converting it; false when it cannot be read.
bool HasReadableMember(IDispatch* object, const OLECHAR* name) {
  if (!object) return false;
  OleString mutableName = name;
  LPOLESTR names[] = {mutableName.data()};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant value;
  return SUCCEEDED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value,
                                  nullptr, nullptr));
}
}  // namespace

void ControlProxy::AttachListener(IDispatch* callback) {
  m_thread.Check("ControlProxy::AttachListener");
  if (m_listenerCookie != 0) {
    // The connection holds the only reference to the old listener: it goes now.
    ComPtr<IPrinterControl> control = GetControl();
    AtlUnadvise(control, IID_IPrinterEvent, m_listenerCookie);
  }
  m_listenerCookie = 0;
  if (!HasReadableMember(callback, OLESTR("_hasCallback"))) return;

  CPrinterListener* listener = CPrinterListener::CreateInstance();
  // Held across the connection so that a refused Advise still frees it.
  listener->AddRef();
  ComPtr<IPrinterControl> control = GetControl();
  DWORD cookie = 0;
  if (SUCCEEDED(AtlAdvise(control, static_cast<IPrinterEvent*>(listener), IID_IPrinterEvent, &cookie)))
    m_listenerCookie = cookie;
  listener->SetEventNames(callback, this);
  listener->Release();
}
