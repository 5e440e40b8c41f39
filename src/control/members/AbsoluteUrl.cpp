#include "control/members/AbsoluteUrl.h"

namespace {
// scheme ":" with scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool HasScheme(const std::string& address) {
  const size_t colon = address.find(':');
  if (colon == 0 || colon == std::string::npos) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = address[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return false;
  }
  return true;
}
}  // namespace

bool AbsoluteUrl(const std::string& url, const Json::Value& base, const std::string& pageUrl, std::string* absolute) {
  const std::string against = base.isString() && !base.asString().empty() ? base.asString() : pageUrl;
  std::string combined;
  if (!CombineUrl(url, against, &combined) || !HasScheme(combined)) return false;
  *absolute = combined;
  return true;
}
