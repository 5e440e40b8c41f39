// The value bridge against the script engine's own C API.
//
// A JSON object of 100000 members and a JSON array of 100000 elements are
// turned into script values and back to JSON, once through the bridge (every
// step an IDispatch / IDispatchEx call) and once with Duktape's C API directly
// (duk_push_object / duk_put_prop_lstring / duk_push_array / duk_enum ...).
// Prints the time of each and their ratio, measured in the same run; the
// target is a ratio of at most 1.5.
//
// The bridge runs against the browser stand-in's Duktape engine (the global
// object of a blank page); "--fake" measures it against the test fake engine
// instead, which shows the bridge's own share of the cost.
//
// Run: build-*/bench/bridge/kx_bench_bridge [rounds] [--fake]
#include <duktape.h>
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "../../tests/bridge/FakeScript.h"
#include "bridge/ScriptValueBridge.h"
#include "platform/webbrowser/HtmlDocument.h"

namespace {

constexpr int kCount = 100000;

Json::Value MakeObject() {
  Json::Value object(Json::objectValue);
  char name[32];
  for (int i = 0; i < kCount; ++i) {
    std::snprintf(name, sizeof name, "member%06d", i);
    if (i % 2)
      object[name] = i;
    else
      object[name] = "text " + std::to_string(i);
  }
  return object;
}

Json::Value MakeArray() {
  Json::Value array(Json::arrayValue);
  array.resize(kCount);
  for (int i = 0; i < kCount; ++i) {
    if (i % 2)
      array[i] = i;
    else
      array[i] = "text " + std::to_string(i);
  }
  return array;
}

// ---- through the bridge -------------------------------------------------------

struct Engine {
  const char* name = "";
  FakeEngine fake;
  ComPtr<HtmlDocument> page;
  ComPtr<IDispatch> context;
};

bool MakeScriptContext(Engine* engine, bool fake) {
  if (fake) {
    engine->name = "test fake engine";
    engine->fake.logging = false;
    engine->context = ComPtr<IDispatch>::Attach(engine->fake.NewContext());
    return true;
  }
  engine->name = "Duktape through the browser stand-in";
  engine->page = HtmlDocument::LoadText("<html><body></body></html>", nullptr);
  return engine->page && SUCCEEDED(engine->page->get_Script(&engine->context)) && engine->context;
}

Json::Value ThroughBridge(ScriptValueBridge& bridge, const Json::Value& value) {
  Variant script;
  VARIANT raw = bridge.JsonToVariant(value);
  static_cast<VARIANT&>(script) = raw;
  return bridge.VariantToJson(script);
}

// ---- Duktape directly ------------------------------------------------------------

void PushJson(duk_context* ctx, const Json::Value& v) {
  duk_require_stack(ctx, 4);
  switch (v.type()) {
    case Json::nullValue: duk_push_undefined(ctx); break;
    case Json::intValue: duk_push_int(ctx, v.asInt()); break;
    case Json::uintValue: duk_push_uint(ctx, v.asUInt()); break;
    case Json::realValue: duk_push_number(ctx, v.asDouble()); break;
    case Json::booleanValue: duk_push_boolean(ctx, v.asBool()); break;
    case Json::stringValue: {
      const char* b;
      const char* e;
      v.getString(&b, &e);
      duk_push_lstring(ctx, b, static_cast<duk_size_t>(e - b));
      break;
    }
    case Json::arrayValue: {
      duk_push_array(ctx);
      for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        PushJson(ctx, v[i]);
        duk_put_prop_index(ctx, -2, i);
      }
      break;
    }
    case Json::objectValue: {
      duk_push_object(ctx);
      for (auto it = v.begin(); it != v.end(); ++it) {
        PushJson(ctx, *it);
        const char* b;
        const char* e = nullptr;
        b = it.memberName(&e);
        duk_put_prop_lstring(ctx, -2, b, static_cast<duk_size_t>(e - b));
      }
      break;
    }
  }
}

Json::Value ReadJson(duk_context* ctx, duk_idx_t at) {
  duk_require_stack(ctx, 4);
  switch (duk_get_type(ctx, at)) {
    case DUK_TYPE_NUMBER: {
      double d = duk_get_number(ctx, at);
      if (d == static_cast<double>(static_cast<int>(d))) return Json::Value(static_cast<int>(d));
      return Json::Value(d);
    }
    case DUK_TYPE_BOOLEAN: return Json::Value(static_cast<bool>(duk_get_boolean(ctx, at)));
    case DUK_TYPE_STRING: {
      duk_size_t n = 0;
      const char* s = duk_get_lstring(ctx, at, &n);
      return Json::Value(s, s + n);
    }
    case DUK_TYPE_OBJECT: {
      if (duk_is_array(ctx, at)) {
        Json::Value out(Json::arrayValue);
        duk_size_t n = duk_get_length(ctx, at);
        for (duk_size_t i = 0; i < n; ++i) {
          duk_get_prop_index(ctx, at, static_cast<duk_uarridx_t>(i));
          out[static_cast<Json::ArrayIndex>(i)] = ReadJson(ctx, duk_get_top_index(ctx));
          duk_pop(ctx);
        }
        return out;
      }
      Json::Value out(Json::objectValue);
      duk_enum(ctx, at, DUK_ENUM_OWN_PROPERTIES_ONLY);
      while (duk_next(ctx, -1, 1)) {
        duk_size_t n = 0;
        const char* key = duk_get_lstring(ctx, -2, &n);
        out[std::string(key, n)] = ReadJson(ctx, duk_get_top_index(ctx));
        duk_pop_2(ctx);
      }
      duk_pop(ctx);
      return out;
    }
    default: return Json::Value();
  }
}

Json::Value ThroughDuktape(duk_context* ctx, const Json::Value& value) {
  PushJson(ctx, value);
  Json::Value out = ReadJson(ctx, duk_get_top_index(ctx));
  duk_pop(ctx);
  return out;
}

// ---- timing -----------------------------------------------------------------------

// The best of rounds runs, in milliseconds; the last result is kept for checking.
double Best(int rounds, const std::function<Json::Value()>& run, Json::Value* result) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    *result = run();
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

bool Compare(const char* what, ScriptValueBridge& bridge, duk_context* ctx, const Json::Value& input, int rounds) {
  Json::Value viaBridge, viaDuktape;
  double bridgeMs = Best(rounds, [&] { return ThroughBridge(bridge, input); }, &viaBridge);
  double duktapeMs = Best(rounds, [&] { return ThroughDuktape(ctx, input); }, &viaDuktape);
  const bool same = viaBridge == input && viaDuktape == input;
  std::printf("%-28s bridge %9.2f ms   duktape C API %9.2f ms   ratio %5.2fx (target <= 1.50)%s\n", what, bridgeMs,
              duktapeMs, bridgeMs / duktapeMs, same ? "" : "   RESULTS DIFFER");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  bool fake = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fake") == 0)
      fake = true;
    else
      rounds = std::max(1, std::atoi(argv[i]));
  }
  Engine engine;
  if (!MakeScriptContext(&engine, fake)) {
    std::fprintf(stderr, "no script engine\n");
    return 1;
  }
  ScriptValueBridge bridge;
  bridge.SetScriptContext(engine.context);
  duk_context* ctx = duk_create_heap_default();
  if (!ctx) return 1;

  std::printf("bridge round trip (to script values and back), best of %d, engine: %s\n", rounds, engine.name);
  bool ok = Compare("object of 100000 members", bridge, ctx, MakeObject(), rounds);
  ok = Compare("array of 100000 elements", bridge, ctx, MakeArray(), rounds) && ok;

  duk_destroy_heap(ctx);
  bridge.SetScriptContext(nullptr);
  engine.context.Release();
  if (engine.page) engine.page->Close();
  return ok ? 0 : 1;
}
