#include "platform/webbrowser/HtmlDocument.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Reads a whole regular file of at most limit bytes; false otherwise.
bool ReadWholeFile(const std::string& path, size_t limit, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= limit;
  out->clear();
  char buf[65536];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > limit) ok = false;
  }
  close(fd);
  return ok;
}
}  // namespace

ComPtr<HtmlDocument> HtmlDocument::LoadFile(const std::string& path, DocumentSite* site) {
  std::string text;
  if (!ReadWholeFile(path, kMaxPageBytes, &text)) return nullptr;
  return LoadText(text, site);
}

ComPtr<HtmlDocument> HtmlDocument::LoadText(const std::string& html, DocumentSite* site) {
  auto doc = ComPtr<HtmlDocument>::Attach(new HtmlDocument());
  doc->m_text = html;
  doc->m_site = site;
  return doc;
}

HtmlDocument::~HtmlDocument() { Close(); }

void HtmlDocument::RunPageScripts() {}

void HtmlDocument::Close() {
  m_closed = true;
  m_site = nullptr;
}

void HtmlDocument::OnSiteMessage(UINT, WPARAM, LPARAM) {}

HRESULT HtmlDocument::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLDocument2) {
    *ppv = static_cast<IHTMLDocument2*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG HtmlDocument::Release() {
  ULONG r = --m_ref;
  if (r == 0) delete this;
  return r;
}

HRESULT HtmlDocument::GetTypeInfoCount(UINT* n) {
  if (n) *n = 0;
  return S_OK;
}
HRESULT HtmlDocument::GetTypeInfo(UINT, LCID, ITypeInfo** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}
HRESULT HtmlDocument::GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* ids) {
  for (UINT i = 0; ids && i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}
HRESULT HtmlDocument::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT HtmlDocument::get_Script(IDispatch** script) {
  if (!script) return E_POINTER;
  *script = nullptr;
  return E_NOTIMPL;  // the script engine is not wired in yet
}
