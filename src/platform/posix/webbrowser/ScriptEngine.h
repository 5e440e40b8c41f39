// One Duktape heap per loaded document, and everything that crosses between
// it and C++: references kept for COM wrappers, DOM nodes and foreign COM
// objects held by script values, member names and their DISPIDs.
//
// Rules kept throughout (Duktape errors are longjmps):
// - every entry into the heap goes through Run, a protected call; a script
//   error there becomes DISP_E_EXCEPTION and never leaves the heap;
// - inside Run and in native functions no C++ object with a destructor is
//   alive across a Duktape call that can throw; C++ work happens in noexcept
//   helpers, and results that must outlive them sit in engine-owned buffers;
// - the heap goes away only when no call into it is running (Close during a
//   call defers it), and references released by script finalizers are let go
//   only after the outermost call has returned, so no COM Release re-enters a
//   heap in the middle of its collector;
// - identity holds both ways: a script object has one COM wrapper at a time
//   (the same IUnknown however often it is handed out), and a DOM node has one
//   script object at a time (=== holds between two lookups of a node).
#pragma once

#include <duktape.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ComPtr.h"
#include "platform/webbrowser/Dom.h"
#include "platform/webbrowser/ScriptNames.h"

class ScriptObject;

class ScriptEngine : public std::enable_shared_from_this<ScriptEngine> {
 public:
  // DISPIDs of canonical array index names: kIndexBase + index.
  static constexpr DISPID kIndexBase = ScriptNames::kIndexBase;
  // Member names a heap holds DISPIDs for at once (older ones are retired,
  // see ScriptNames).
  static constexpr size_t kMaxNames = 1000000;

  // A heap whose globals `document` and `window` show document (a DOM
  // document; DOM bindings are installed). Null when the heap cannot be made.
  static std::shared_ptr<ScriptEngine> Create(dom::NodePtr document);
  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  bool IsAlive() const { return m_alive; }
  // Ends the heap (now, or when the running call returns). Wrappers held
  // elsewhere then fail with E_UNEXPECTED.
  void Close();

  // Runs a program in the global scope. False on a script error, whose text
  // (UTF-8) goes to *error.
  bool Eval(std::string_view source, std::string* error);
  // The COM wrapper of the global object (one reference for the caller).
  HRESULT GetGlobalObject(IDispatchEx** out);

  // Runs body(ctx) as a protected call. S_OK, DISP_E_EXCEPTION after a script
  // error (its text to *error), E_UNEXPECTED when the heap is gone.
  template <class F>
  HRESULT Run(F& body, std::string* error = nullptr) {
    struct Call {
      F* body;
    } call{&body};
    return RunRaw(
        [](duk_context* ctx, void* udata) -> duk_ret_t {
          (*static_cast<Call*>(udata)->body)(ctx);
          return 0;
        },
        &call, error);
  }
  // A reading that stays the same while nothing runs in the heap, so what
  // one call found out still holds when the next reading equals it. Zero
  // while script is running (inside a call): script may change anything
  // between two calls it makes, so nothing found then is kept; and zero once
  // the heap is gone.
  uint64_t Quiet() const { return m_depth == 0 && m_alive ? m_calls : 0; }

  // ---- COM wrappers: one per script object, kept while the wrapper lives -------
  // The wrapper of the value at idx (a new reference), made when there is
  // none yet. (In a call; raises a script error when memory runs out.)
  ScriptObject* WrapperAt(duk_context* ctx, duk_idx_t idx);
  // Called by a wrapper that goes away: forgets it and lets its value go.
  void ForgetWrapper(ScriptObject* wrapper, void* object, uint32_t slot) noexcept;

  // ---- member names ---------------------------------------------------------------
  ScriptNames& Names() { return m_names; }
  // Pushes the property key of a DISPID: the index number, or the name's
  // interned string (made once, then pushed by its heap pointer). (In a call.)
  void PushKey(duk_context* ctx, DISPID id);
  bool NameOfId(DISPID id, OleString* name) const { return m_names.NameOf(id, name); }
  // DISPIDs the wrappers treat specially.
  DISPID PushId() const { return m_pushId; }
  DISPID ProtoId() const { return m_protoId; }
  // An array that is no proxy (a proxy has no prototype of its own): its
  // indexes and pushes may take the plain paths.
  static bool IsPlainArray(duk_context* ctx, duk_idx_t idx);
  // The value at idx is the original Array.prototype.push.
  bool IsArrayPush(duk_context* ctx, duk_idx_t idx) const {
    return m_arrayPush && duk_get_heapptr(ctx, idx) == m_arrayPush;
  }

  // ---- writes that wait for the next entry into the heap ---------------------------
  // Building script values through IDispatch costs a call into the heap per
  // member or element. Writes whose outcome is already known are queued
  // instead and stored, in order, in one protected call before anything else
  // enters the heap, so no script sees a difference. Callers queue only:
  // - target.push(value) on a plain array whose push they have just found to
  //   be the original one, with nothing run since;
  // - creating and setting members of a fresh object (made by the original
  //   Object constructor and not yet handed to script, so nothing else can
  //   have touched it: it is extensible and has no members of its own).
  // A store that still fails then (a throwing setter on a prototype, memory)
  // leaves the write undone, as the failed call would, but is not reported.
  // False when the value cannot wait (objects, references), script is
  // running, or memory runs out: the caller then writes at once.
  bool QueuePush(void* target, const VARIANT& value) noexcept;
  bool QueueEnsure(void* target, DISPID id) noexcept;
  bool QueuePut(void* target, DISPID id, const VARIANT& value) noexcept;
  // The value at idx is the original Object constructor.
  bool IsObjectConstructor(duk_context* ctx, duk_idx_t idx) const {
    return m_objectCtor && duk_get_heapptr(ctx, idx) == m_objectCtor;
  }

  // ---- values (in a call; may throw script errors) -------------------------------
  void PushVariant(duk_context* ctx, const VARIANT& v);
  // A new VARIANT for the value at idx; objects become their wrappers (or the
  // foreign object they hold).
  void ToVariant(duk_context* ctx, duk_idx_t idx, VARIANT* out);
  // The same for a value whose type the caller has read (idx not relative).
  void ToVariantOfType(duk_context* ctx, duk_idx_t idx, duk_int_t type, VARIANT* out);
  // Pushes UTF-16 / UTF-8 text as a script string.
  static void PushUtf16(duk_context* ctx, OleStringView text);
  static void PushUtf8(duk_context* ctx, std::string_view text);

  // ---- DOM nodes and foreign objects held by script values ------------------------
  // The one script object of a node (made on first use); null pushes null.
  void PushNode(duk_context* ctx, dom::Node* node);
  // The node a script value wraps, or null.
  dom::Node* NodeAt(duk_context* ctx, duk_idx_t idx);
  dom::Node* NodeOfObject(void* object);  // the node behind a wrapped object, or null
  void PushForeign(duk_context* ctx, IUnknown* object);  // null pushes null
  IUnknown* ForeignAt(duk_context* ctx, duk_idx_t idx);  // borrowed, or null

  // Engine-owned text buffer for results built by C++ helpers.
  std::string& Scratch() { return m_scratch; }
  const dom::NodePtr& Document() const { return m_document; }

  static ScriptEngine* From(duk_context* ctx);

 private:
  explicit ScriptEngine(dom::NodePtr document) : m_document(std::move(document)), m_names(kMaxNames) {}
  bool Init();
  HRESULT RunRaw(duk_safe_call_function fn, void* udata, std::string* error);
  void AfterOutermostCall();
  void DestroyHeap();
  void FlushDeferred();
  bool Queue(void* target, DISPID id, uint8_t kind, const VARIANT* value) noexcept;
  void StoreQueuedWrites();
  void StoreWritesNow() noexcept;  // between calls, as a call of its own
  static constexpr size_t kWriteBatch = 4096;
  static duk_ret_t StoreWrites(duk_context* ctx, void* udata);
  static duk_ret_t ReleaseNames(duk_context* ctx, void* udata);

  // Stash slots holding the values of live wrappers, reused when freed.
  uint32_t KeepInSlot(duk_context* ctx, duk_idx_t idx);
  void FreeSlot(uint32_t slot) noexcept;

  uint32_t RegisterNode(dom::Node* node) noexcept;
  void RememberNodeObject(dom::Node* node, void* object) noexcept;
  uint32_t RegisterForeign(IUnknown* object) noexcept;
  static duk_ret_t Finalize(duk_context* ctx);
  void PushHolder(duk_context* ctx, const char* protoKey, const char* hiddenKey, uint32_t key);

  duk_context* m_ctx = nullptr;
  bool m_alive = false;
  bool m_closePending = false;
  bool m_destroying = false;
  int m_depth = 0;
  uint64_t m_calls = 0;

  dom::NodePtr m_document;
  uint32_t m_nextKey = 1;
  std::unordered_map<uint32_t, dom::NodePtr> m_nodes;
  std::unordered_map<uint32_t, ComPtr<IUnknown>> m_foreign;
  std::vector<dom::NodePtr> m_deferredNodes;
  std::vector<ComPtr<IUnknown>> m_deferredObjects;
  // Each node's script object, not kept alive by this map: its finalizer
  // removes the entry.
  std::unordered_map<dom::Node*, void*> m_nodeObjects;

  // Live wrappers by the heap pointer of their script object; each keeps its
  // object in a slot of the stash array m_slots.
  std::unordered_map<void*, ScriptObject*> m_wrappers;
  void* m_slots = nullptr;
  uint32_t m_slotCount = 0;
  std::vector<uint32_t> m_freeSlots;

  enum : uint8_t { kWritePush, kWriteEnsure, kWritePut };
  struct QueuedWrite {
    void* target;
    DISPID id;
    uint8_t kind;
    bool text;  // the value is text, CESU-8 in m_writeText; otherwise a scalar
    union {
      struct {
        uint32_t offset;
        uint32_t length;
      } span;
      VARIANT value;  // a plain copy: scalars own nothing
    };
  };
  std::vector<QueuedWrite> m_writes;
  std::string m_writeText;
  size_t m_writeNext = 0;
  bool m_storingWrites = false;
  std::vector<uint32_t> m_slotsAfterWrites;  // freed while stores ran

  ScriptNames m_names;
  void* m_nameKeys = nullptr;  // stash array keeping the interned name strings
  uint32_t m_nameSlotCount = 0;
  std::vector<uint32_t> m_freeNameSlots;  // of names the table retired
  DISPID m_pushId = DISPID_UNKNOWN;
  DISPID m_protoId = DISPID_UNKNOWN;
  void* m_arrayPush = nullptr;  // the original Array.prototype.push
  void* m_objectCtor = nullptr;  // the original Object constructor

  std::string m_scratch;

  friend void InstallDomBindings(duk_context* ctx);
};

// Defined by the DOM bindings: prototypes and native functions.
void InstallDomBindings(duk_context* ctx);
