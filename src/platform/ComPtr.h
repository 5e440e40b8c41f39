// RAII holders for our own code: a counted interface reference, an owned BSTR
// and an owned VARIANT. The host's automation calls hand out raw pointers as
// the platform does; these keep the counts right on every path.
#pragma once

#include <utility>

#include "platform/Automation.h"

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference to p.
  ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Release(); }

  ComPtr& operator=(const ComPtr& o) {
    ComPtr(o).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    ComPtr(std::move(o)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(T* p) {
    ComPtr(p).Swap(*this);
    return *this;
  }

  // Adopts a reference the caller already owns (no AddRef).
  static ComPtr Attach(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  // Gives the reference away (no Release).
  T* Detach() { return std::exchange(p_, nullptr); }

  void Release() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // For out-parameters: releases what is held and returns the slot.
  T** operator&() {
    Release();
    return &p_;
  }
  T** GetAddressOf() { return &(*this); }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  operator T*() const { return p_; }

  template <class U>
  HRESULT QueryInterface(REFIID iid, ComPtr<U>* out) const {
    if (!p_) return E_POINTER;
    U* raw = nullptr;
    HRESULT hr = p_->QueryInterface(iid, reinterpret_cast<void**>(&raw));
    *out = ComPtr<U>::Attach(SUCCEEDED(hr) ? raw : nullptr);
    return hr;
  }

  void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

 private:
  T* p_ = nullptr;
};

// An owned BSTR; null stays null (the automation convention for "no text").
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(OleStringView text) : s_(SysAllocStringU16(text)) {}
  Bstr(const Bstr& o) : s_(o.s_ ? SysAllocStringLen(o.s_, SysStringLen(o.s_)) : nullptr) {}
  Bstr(Bstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  ~Bstr() { SysFreeString(s_); }
  Bstr& operator=(Bstr o) noexcept {
    std::swap(s_, o.s_);
    return *this;
  }
  static Bstr Attach(BSTR s) {
    Bstr b;
    b.s_ = s;
    return b;
  }
  BSTR Detach() { return std::exchange(s_, nullptr); }
  BSTR Get() const { return s_; }
  BSTR* operator&() {
    SysFreeString(std::exchange(s_, nullptr));
    return &s_;
  }
  UINT Length() const { return SysStringLen(s_); }
  OleStringView View() const { return s_ ? OleStringView(s_, SysStringLen(s_)) : OleStringView(); }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  BSTR s_ = nullptr;
};

// An owned VARIANT, cleared on destruction.
class Variant : public VARIANT {
 public:
  Variant() { VariantInit(this); }
  Variant(const Variant& o) : Variant() { VariantCopy(this, &o); }
  Variant(const VARIANT& o) : Variant() { VariantCopy(this, &o); }
  ~Variant() { VariantClear(this); }
  Variant& operator=(const Variant& o) {
    if (this != &o) VariantCopy(this, &o);
    return *this;
  }

  static Variant FromLong(LONG v) {
    Variant r;
    r.vt = VT_I4;
    r.lVal = v;
    return r;
  }
  static Variant FromBool(bool v) {
    Variant r;
    r.vt = VT_BOOL;
    r.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
  }
  static Variant FromDouble(double v) {
    Variant r;
    r.vt = VT_R8;
    r.dblVal = v;
    return r;
  }
  static Variant FromString(OleStringView text) {
    Variant r;
    r.vt = VT_BSTR;
    r.bstrVal = SysAllocStringU16(text);
    return r;
  }
  // Takes a new reference to d (null gives a VT_DISPATCH without object).
  static Variant FromDispatch(IDispatch* d) {
    Variant r;
    r.vt = VT_DISPATCH;
    r.pdispVal = d;
    if (d) d->AddRef();
    return r;
  }

  // Hands the content to a raw VARIANT the caller owns; this one becomes empty.
  void Detach(VARIANT* out) {
    *out = *this;
    VariantInit(this);
  }
  void Clear() { VariantClear(this); }
};
