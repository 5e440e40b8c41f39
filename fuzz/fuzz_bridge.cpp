// JSON parameters through the value bridge into the page's script engine and
// back: JsonToVariant builds script objects and arrays in the bootstrap
// page's Duktape heap, VariantToJson walks them back. The same value also
// goes through the automation object a control returns (JsonToResultVariant)
// and back through VariantToJson.
//
// Checked: both round trips give the value back, as far as the conversions
// define it: numbers compare by value (integers may come back as reals),
// texts come back as the code page conversions leave them (cut at a NUL,
// invalid UTF-8 replaced), members whose names become equal leave the later
// one. Values that the bridge defines differently are only run, not compared:
// an object with a "length" member (read back as an array), a member named
// "__proto__" (a script object's prototype, not a member), nesting near the
// bridge's depth bound.
//
// Input: a JSON text.
#include <cmath>
#include <cstdint>
#include <string>

#include "bridge/ScriptValueBridge.h"
#include "platform/CodePage.h"
#include "platform/JsonDispatch.h"
#include "support/FuzzHost.h"

namespace {

const char kTarget[] = "fuzz_bridge";

std::string RoundTripText(const std::string& s) { return WideToAnsi(AnsiToWide(s)); }

// What the round trip should give; false when the value is outside what it
// defines. An unsigned integer above 2147483647 travels as VT_UI4 when it is
// a scalar parameter, and the bridge cannot narrow that to a signed 32-bit
// integer: it comes back as null. A control's result hands it out as a
// double, and inside a script object it is a script number.
bool Expect(const Json::Value& v, int depth, bool viaControl, Json::Value* out) {
  if (depth > 200) return false;
  switch (v.type()) {
    case Json::nullValue: *out = Json::Value(); return true;
    case Json::uintValue:
      if (!viaControl && depth == 0 && v.isUInt() && !v.isInt()) {
        *out = Json::Value();
        return true;
      }
      *out = v.asDouble();
      return true;
    case Json::intValue:
    case Json::realValue: *out = v.asDouble(); return true;
    case Json::stringValue: *out = RoundTripText(v.asString()); return true;
    case Json::booleanValue: *out = v.asBool(); return true;
    case Json::arrayValue: {
      *out = Json::Value(Json::arrayValue);
      for (Json::ArrayIndex i = 0; i < v.size(); ++i)
        if (!Expect(v[i], depth + 1, viaControl, &(*out)[i])) return false;
      return true;
    }
    case Json::objectValue: {
      *out = Json::Value(Json::objectValue);
      // In the order the bridge sets them: a later name that comes out equal wins.
      for (auto it = v.begin(); it != v.end(); ++it) {
        // A control's member whose name holds a NUL cannot be looked up by
        // the name it reports (names are NUL-terminated): it is left out.
        if (viaControl && it.name().find('\0') != std::string::npos) continue;
        std::string name = RoundTripText(it.name());
        if (name == "length" || name == "__proto__") return false;
        if (!Expect(*it, depth + 1, viaControl, &(*out)[name])) return false;
      }
      return true;
    }
  }
  return false;
}

bool Same(const Json::Value& want, const Json::Value& got) {
  if (want.type() == Json::realValue) return got.isNumeric() && got.asDouble() == want.asDouble();
  if (want.type() != got.type()) return false;
  if (want.isArray()) {
    if (want.size() != got.size()) return false;
    for (Json::ArrayIndex i = 0; i < want.size(); ++i)
      if (!Same(want[i], got[i])) return false;
    return true;
  }
  if (want.isObject()) {
    if (want.size() != got.size()) return false;
    for (auto it = want.begin(); it != want.end(); ++it) {
      const std::string name = it.name();
      const Json::Value* g = got.find(name.data(), name.data() + name.size());
      if (!g || !Same(*it, *g)) return false;
    }
    return true;
  }
  return want == got;
}

std::string Show(const Json::Value& v) { return Json::FastWriter().write(v).substr(0, 400); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzHost& host = fuzz::FuzzHost::Get();
  const std::string text = Utf8ToAnsi(std::string_view(reinterpret_cast<const char*>(data), size));
  Json::Value value;
  try {
    if (!Json::Reader().parse(text, value, false)) return 0;
  } catch (const std::exception&) {
    return 0;  // nesting beyond the reader's own limit: the gate drops it
  }
  Json::Value want, wantFromControl;
  const bool comparable = Expect(value, 0, false, &want);
  Expect(value, 0, true, &wantFromControl);

  static ScriptValueBridge* const bridge = new ScriptValueBridge;
  bridge->SetScriptContext(host.Script());
  Json::Value back;
  try {
    VARIANT v = bridge->JsonToVariant(value);
    back = bridge->VariantToJson(v);
    VariantClear(&v);
  } catch (const BridgeError&) {
    return 0;  // a defined outcome: the conversion is abandoned
  }
  if (comparable)
    fuzz::Check(Same(want, back), kTarget, "script round trip differs: want " + Show(want) + " got " + Show(back));

  // A control's results: JSON -> automation object -> JSON.
  VARIANT a;
  VariantInit(&a);
  JsonToResultVariant(value, &a);
  Json::Value fromControl;
  try {
    fromControl = bridge->VariantToJson(a);
  } catch (const BridgeError&) {
    VariantClear(&a);
    return 0;
  }
  VariantClear(&a);
  if (comparable)
    fuzz::Check(Same(wantFromControl, fromControl), kTarget,
                "control result round trip differs: want " + Show(wantFromControl) + " got " + Show(fromControl));
  host.Pump();
  return 0;
}
