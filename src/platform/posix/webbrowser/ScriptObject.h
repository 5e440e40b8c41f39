// The COM face of a script object: IDispatchEx over one object of a
// ScriptEngine heap, kept alive by a slot in the heap's stash for as long as
// the wrapper lives. There is one wrapper per object at a time (the engine
// hands out the live one again), so COM identity follows script identity.
// A wrapper of a DOM OBJECT element also answers IHTMLObjectElement. When
// the heap is gone every call fails with E_UNEXPECTED; the wrapper itself
// stays safe to call and release.
//
// An operation is at most one protected call into the heap, which pushes the
// object by its heap pointer and the member by its interned key (or index
// number). Some need none: writes that may wait (ScriptEngine's write queue)
// and, on plain arrays, lookups and reads that the previous call already
// answered (ScriptObjectArray.cpp).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/webbrowser/BrowserInterfaces.h"
#include "platform/webbrowser/ScriptEngine.h"

// Answered only by ScriptObject: lets a heap recognise its own wrappers.
inline constexpr IID IID_IScriptObjectWrapper = MakeGuid("4B6F1E2A-7C3D-4A59-8E21-6D0F9B3C5A17");

class ScriptObject final : public IDispatchEx, public StandInObjectElement {
 public:
  // Only the engine makes wrappers (ScriptEngine::WrapperAt): object is the
  // heap pointer of the value kept in stash slot `slot`, which the wrapper
  // gives back when it goes. One reference for the caller; null when memory
  // runs out.
  // plainArray: the object is an array and no proxy.
  static ScriptObject* New(std::shared_ptr<ScriptEngine> engine, void* object, uint32_t slot,
                           bool plainArray) noexcept;

  ScriptEngine* Engine() const { return m_engine.get(); }
  // The heap pointer of the script object (valid while the heap is alive).
  void* Object() const { return m_object; }
  // The object is now reachable by script (see m_fresh).
  void MarkHandedOut() { m_fresh = false; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  // IDispatchEx
  HRESULT STDMETHODCALLTYPE GetDispID(BSTR bstrName, DWORD grfdex, DISPID* pid) override;
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID lcid, WORD wFlags, DISPPARAMS* pdp, VARIANT* pvarRes, EXCEPINFO* pei,
                   IServiceProvider* pspCaller) override;
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR bstrName, DWORD grfdex) override;
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID id) override;
  HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID id, DWORD grfdexFetch, DWORD* pgrfdex) override;
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID id, BSTR* pbstrName) override;
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD grfdex, DISPID id, DISPID* pid) override;
  HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown** ppunk) override;
  // IHTMLObjectElement (only reachable on OBJECT elements): the hosted
  // control; S_OK with null while it is being created, the creation's
  // failure code (with null) once it has failed for good.
  HRESULT STDMETHODCALLTYPE get_object(IDispatch** control) override;

 private:
  ScriptObject(std::shared_ptr<ScriptEngine> engine, void* object, uint32_t slot, bool plainArray)
      : m_engine(std::move(engine)), m_object(object), m_slot(slot), m_plainArray(plainArray) {}
  ~ScriptObject();
  HRESULT STDMETHODCALLTYPE InvokeCore(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep);
  // Whether the member exists (own or inherited). With a known DISPID its
  // key is pushed as interned; otherwise name gives the text. On a plain
  // array an index lookup reads the elements ahead, and a lookup of push
  // notes whether it is the original one.
  HRESULT STDMETHODCALLTYPE HasMember(DISPID id, OleStringView name, bool* exists);
  // Pushes the member's value when its existence can be told from it: on a
  // plain array, an index or "push" that reads as defined exists. Otherwise
  // pushes nothing and returns false. [obj] -> [obj value] or [obj]
  bool ReadToTellExistence(duk_context* ctx, DISPID id);

  // ---- plain arrays (ScriptObjectArray.cpp) -----------------------------------
  // Whether a name lookup can be answered without entering the heap: push
  // found original, or an index read ahead, with nothing run since.
  bool KnownToExist(DISPID id) const;
  // Read-ahead of elements: one call reads up to kReadAhead values from
  // `first` on (an object ends the run, so no wrappers pile up) as VARIANTs
  // that the following gets hand out, while nothing runs in between.
  static constexpr uint32_t kReadAhead = 64;
  bool PrepareAhead() noexcept;  // before the call: clears, makes room
  void ReadAhead(duk_context* ctx, uint32_t first);  // in the call, [obj]
  bool AheadHas(uint32_t index) const;  // entry `index` read as defined
  bool TakeAhead(uint32_t index, VARIANT* result);
  void ClearAhead() noexcept;
  void RememberFound(DISPID id) {
    m_foundId = id;
    m_foundAt = m_engine->Quiet();
  }
  bool StillQuiet(uint64_t at) const { return at != 0 && at == m_engine->Quiet(); }
  dom::Node* ObjectElement();

  std::atomic<ULONG> m_ref{1};
  std::shared_ptr<ScriptEngine> m_engine;
  void* m_object;
  uint32_t m_slot;
  const bool m_plainArray;
  // Made by the original Object constructor and not yet handed to script:
  // nothing else can have touched it, so creating and setting its members
  // may wait in the engine's write queue.
  bool m_fresh = false;
  // When the last name lookup found "push" to be the original push of this
  // plain array: a push right after (nothing run in between) is a store.
  uint64_t m_pushReadyAt = 0;
  // The member the last name lookup found, and when: a property get of it
  // right after (no heap call in between) need not ask again.
  DISPID m_foundId = DISPID_UNKNOWN;
  uint64_t m_foundAt = 0;
  enum : uint8_t { kAheadUnknown, kAheadPresent, kAheadTaken };
  std::vector<VARIANT> m_ahead;
  std::vector<uint8_t> m_aheadState;
  uint32_t m_aheadFirst = 0;
  uint32_t m_aheadCount = 0;
  uint64_t m_aheadAt = 0;
  // Own member ids taken at DISPID_STARTENUM; later walks continue from it.
  std::vector<DISPID> m_enum;
  size_t m_enumPos = 0;
};
