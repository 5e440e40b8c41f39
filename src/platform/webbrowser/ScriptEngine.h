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
//   heap in the middle of its collector.
#pragma once

#include <duktape.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ComPtr.h"
#include "platform/webbrowser/Dom.h"

class ScriptEngine : public std::enable_shared_from_this<ScriptEngine> {
 public:
  // DISPIDs of canonical array index names: kIndexBase + index.
  static constexpr DISPID kIndexBase = 0x40000000;
  // Distinct member names a heap hands out DISPIDs for.
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
  // A new COM wrapper of the global object.
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

  // ---- references kept in the heap stash for C++ holders -----------------------
  // Keeps the value at idx; the key names it until Drop. (In a call.)
  uint32_t Keep(duk_context* ctx, duk_idx_t idx);
  void PushKept(duk_context* ctx, uint32_t key);
  // Lets a kept value go; any time, from outside or inside a call.
  void Drop(uint32_t key);

  // ---- member names ---------------------------------------------------------------
  // DISPID_UNKNOWN when the table is full. Never throws.
  DISPID IdOfName(std::u16string_view name) noexcept;
  DISPID IdOfCesu8Name(std::string_view name) noexcept;
  bool NameOfId(DISPID id, std::u16string* name) const;

  // ---- values (in a call; may throw script errors) -------------------------------
  void PushVariant(duk_context* ctx, const VARIANT& v);
  // A new VARIANT for the value at idx; objects become wrappers (or the
  // foreign object they hold).
  void ToVariant(duk_context* ctx, duk_idx_t idx, VARIANT* out);
  // Pushes UTF-16 / UTF-8 text as a script string.
  static void PushUtf16(duk_context* ctx, std::u16string_view text);
  static void PushUtf8(duk_context* ctx, std::string_view text);

  // ---- DOM nodes and foreign objects held by script values ------------------------
  void PushNode(duk_context* ctx, dom::Node* node);  // null pushes null
  // The node a script value wraps, or null.
  dom::Node* NodeAt(duk_context* ctx, duk_idx_t idx);
  dom::Node* NodeOfKept(uint32_t key);  // the node behind a kept value, or null
  void PushForeign(duk_context* ctx, IUnknown* object);  // null pushes null
  IUnknown* ForeignAt(duk_context* ctx, duk_idx_t idx);  // borrowed, or null

  // Engine-owned text buffer for results built by C++ helpers.
  std::string& Scratch() { return m_scratch; }
  const dom::NodePtr& Document() const { return m_document; }

  static ScriptEngine* From(duk_context* ctx);

 private:
  explicit ScriptEngine(dom::NodePtr document) : m_document(std::move(document)) {}
  bool Init();
  HRESULT RunRaw(duk_safe_call_function fn, void* udata, std::string* error);
  void AfterOutermostCall();
  void DestroyHeap();
  void FlushDeferred();

  uint32_t RegisterNode(dom::Node* node) noexcept;
  uint32_t RegisterForeign(IUnknown* object) noexcept;
  static duk_ret_t Finalize(duk_context* ctx);
  void PushHolder(duk_context* ctx, const char* protoKey, const char* hiddenKey, uint32_t key);

  duk_context* m_ctx = nullptr;
  bool m_alive = false;
  bool m_closePending = false;
  bool m_destroying = false;
  int m_depth = 0;

  dom::NodePtr m_document;
  uint32_t m_nextKey = 1;
  std::unordered_map<uint32_t, dom::NodePtr> m_nodes;
  std::unordered_map<uint32_t, ComPtr<IUnknown>> m_foreign;
  std::vector<dom::NodePtr> m_deferredNodes;
  std::vector<ComPtr<IUnknown>> m_deferredObjects;

  std::unordered_map<std::u16string, DISPID> m_ids;
  std::vector<std::u16string> m_names;  // m_names[id - 1]

  std::string m_scratch;

  friend void InstallDomBindings(duk_context* ctx);
};

// Defined by the DOM bindings: prototypes and native functions.
void InstallDomBindings(duk_context* ctx);
