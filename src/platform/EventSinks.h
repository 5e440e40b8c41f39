// The sinks attached to a connection point: what IConnectionPoint's Advise
// and Unadvise do for a control with one event interface, shared by the
// printing controls of both platforms.
#pragma once

#include <utility>
#include <vector>

#include "platform/ComPtr.h"

class EventSinks {
 public:
  using List = std::vector<std::pair<DWORD, ComPtr<IDispatch>>>;

  // Attaches the sink as eventIid first (the connection's interface), any
  // IDispatch otherwise; CONNECT_E_CANNOTCONNECT when it is neither.
  HRESULT Advise(IUnknown* pUnkSink, REFIID eventIid, DWORD* pdwCookie) {
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    *pdwCookie = 0;
    IDispatch* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(eventIid, reinterpret_cast<void**>(&sink))) || !sink) {
      sink = nullptr;
      if (FAILED(pUnkSink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&sink))) || !sink)
        return CONNECT_E_CANNOTCONNECT;
    }
    const DWORD cookie = m_nextCookie++;
    m_sinks.emplace_back(cookie, ComPtr<IDispatch>::Attach(sink));
    *pdwCookie = cookie;
    return S_OK;
  }

  HRESULT Unadvise(DWORD dwCookie) {
    for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
      if (it->first == dwCookie) {
        ComPtr<IDispatch> gone = std::move(it->second);  // released after the list is consistent
        m_sinks.erase(it);
        return S_OK;
      }
    }
    return CONNECT_E_NOCONNECTION;
  }

  const List& Sinks() const { return m_sinks; }
  bool Empty() const { return m_sinks.empty(); }

 private:
  List m_sinks;
  DWORD m_nextCookie = 1;
};
