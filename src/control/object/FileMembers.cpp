// The file members. Every path goes through the FileStore: outside the
// allowed folders it is refused with an empty result and an OnMessage
// {"code": "pathRefused"} to the attached listener.
#include <cctype>

#include "control/base/ControlPaths.h"
#include "control/base/ControlText.h"
#include "control/site/Downloader.h"
#include "control/formats/ExcelExport.h"
#include "control/site/FileStore.h"
#include "control/members/SiteActions.h"
#include "control/jobs/JobRequest.h"
#include "control/object/PrinterControlObject.h"

HRESULT CLinuxPrinterControl::readString(BSTR path, BSTR encoding, BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::readString");
  std::string text;
  MemberFailure failure;
  if (ReadFileText(Files(), BstrToUtf8(path), BstrToUtf8(encoding), &text, &failure)) SetBstrResult(result, text);
  else Report(failure.code, failure.message);
  return S_OK;
}

HRESULT CLinuxPrinterControl::writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::writeString");
  MemberFailure failure;
  const bool written = WriteFileText(Files(), BstrToUtf8(path), BstrToUtf8(text), BstrToUtf8(encoding), &failure);
  if (!written) Report(failure.code, failure.message);
  if (result) *result = written ? TRUE : FALSE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::readHTML(BSTR path, BSTR encoding, BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::readHTML");
  std::string text;
  MemberFailure failure;
  if (ReadFileHtml(Files(), BstrToUtf8(path), BstrToUtf8(encoding), &text, &failure)) SetBstrResult(result, text);
  else Report(failure.code, failure.message);
  return S_OK;
}

HRESULT CLinuxPrinterControl::readBase64(BSTR path, BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::readBase64");
  std::string base64;
  MemberFailure failure;
  if (ReadFileBase64(Files(), BstrToUtf8(path), &base64, &failure)) SetBstrResult(result, base64);
  else Report(failure.code, failure.message);
  return S_OK;
}

HRESULT CLinuxPrinterControl::writeBase64(BSTR path, BSTR data, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::writeBase64");
  MemberFailure failure;
  const bool written = WriteFileBase64(Files(), BstrToUtf8(path), BstrToUtf8(data), &failure);
  if (!written) Report(failure.code, failure.message);
  if (result) *result = written ? TRUE : FALSE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::copy(BSTR source, BSTR target) {
  m_thread.Check("CLinuxPrinterControl::copy");
  MemberFailure failure;
  if (!CopySiteFile(Files(), BstrToUtf8(source), BstrToUtf8(target), &failure)) Report(failure.code, failure.message);
  return S_OK;
}

HRESULT CLinuxPrinterControl::copied(BSTR path, BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::copied");
  FileStore files = Files();
  std::string found = files.Locate(BstrToUtf8(path));
  if (!found.empty()) SetBstrResult(result, found);
  return S_OK;
}

HRESULT CLinuxPrinterControl::download(BSTR url, BSTR path, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::download");
  if (result) *result = FALSE;
  const std::string id = NextJobId("download");
  DownloadRequest request;
  request.url = BstrToUtf8(url);
  request.id = id;
  FileStore files = Files();
  std::string lower = request.url.substr(0, 8);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string error;
  if (lower.rfind("file:", 0) == 0) {
    // A local source must lie inside the allowed folders as well; the path
    // checked is the path the download opens.
    std::string local;
    if (!FileUrlToPath(request.url, &local)) {
      ReportJobFailure("download", id, "badUrl", "cannot read the address '" + request.url + "'");
      return S_OK;
    }
    if (!files.Resolve(local, FileStore::Access::Read, &request.localPath, &error)) {
      ReportJobFailure("download", id, FileErrorCode(error), error);
      return S_OK;
    }
  } else if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0) {
    ReportJobFailure("download", id, "badUrl", "download takes http, https or file addresses, not '" + request.url + "'");
    return S_OK;
  }
  if (!files.Resolve(BstrToUtf8(path), FileStore::Access::Write, &request.target, &error)) {
    ReportJobFailure("download", id, FileErrorCode(error), error);
    return S_OK;
  }
  // Checked before a folder is made and again as the download grows (its
  // file lies in the folder, so what it wrote counts).
  request.hasRoom = [files, target = request.target](uint64_t more, std::string* why) {
    return files.HasRoom(target, more, why);
  };
  request.place = [files, target = request.target](const std::string& temp, std::string* why) {
    return files.Commit(temp, target, why);
  };
  if (!files.MakeFoldersFor(request.target, &error)) {
    ReportJobFailure("download", id, error.rfind("no room", 0) == 0 ? "noRoom" : "writeFailed", error);
    return S_OK;
  }
  request.network = PagePolicy();
  if (!StartDownload(std::move(request), m_events, &error)) {
    ReportJobFailure("download", id, "downloadFailed", error);
    return S_OK;
  }
  if (result) *result = TRUE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::openFile(BSTR path) {
  m_thread.Check("CLinuxPrinterControl::openFile");
  MemberFailure failure;
  if (!OpenSiteFile(Files(), BstrToUtf8(path), &failure)) Report(failure.code, failure.message);
  return S_OK;
}

HRESULT CLinuxPrinterControl::chooseFile(BSTR, BSTR, VARIANT_BOOL, BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::chooseFile");
  // A file dialog would block the host: nothing is chosen (a null text, "" for the page).
  if (result) {
    SysFreeString(*result);
    *result = nullptr;
  }
  return S_OK;
}

HRESULT CLinuxPrinterControl::exportAsExcel(VARIANT* element, BSTR path, VARIANT_BOOL open, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::exportAsExcel");
  if (result) *result = FALSE;
  std::string html, error;
  if (!ElementHtml(element, &html)) {
    Report("noElement", "exportAsExcel needs an element (or HTML text)");
    return S_OK;
  }
  // The element is read here, on the main thread; the workbook is made on a
  // thread of its own, and its outcome comes as events, as a job's does.
  const std::string id = NextJobId("export");
  std::string target = OutputPath(BstrToUtf8(path), id + ".xlsx", "exportAsExcel", id);
  if (target.empty()) return S_OK;
  if (!Files().MakeFoldersFor(target, &error)) {
    ReportJobFailure("exportAsExcel", id, error.rfind("no room", 0) == 0 ? "noRoom" : "writeFailed", error);
    return S_OK;
  }
  if (!StartExcelExport(std::move(html), target, id, open != VARIANT_FALSE, Files(), m_events, &error)) {
    ReportJobFailure("exportAsExcel", id, "exportBusy", error);
    return S_OK;
  }
  if (result) *result = TRUE;
  return S_OK;
}
