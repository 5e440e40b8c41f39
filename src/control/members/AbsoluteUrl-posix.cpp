#include "control/members/AbsoluteUrl.h"
#include "control/site/Downloader.h"

bool CombineUrl(const std::string& url, const std::string& base, std::string* absolute) {
  return ResolveUrl(url, base, absolute);
}
