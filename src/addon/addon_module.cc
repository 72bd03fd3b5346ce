// brannic.node: the seven JavaScript functions over the flat interface.
//
// Each Node environment (main thread or worker) owns one slot, registered as its instance data, that
// holds that environment's context. Every outcome reaches JavaScript as a result object; the only throw
// is the module entry's when the slot cannot be allocated. Every napi_* status goes through ok(): a
// failed call is never read from, and the function gives up with undefined instead of crashing.
#include <node_api.h>

#include <cstdlib>
#include <memory>

#include "brannic.h"

namespace {

constexpr size_t kAgentJsonSize = 512;
constexpr size_t kTokenSize = 65;
constexpr size_t kSessionIdSize = 37;
constexpr size_t kSignalResultSize = 8192;

// The one check every Node-API status goes through.
inline bool ok(napi_status status) { return status == napi_ok; }

using Slot = brannic_ctx*;

// The environment's slot, or null when it has none.
Slot* getSlot(napi_env env) {
  void* data = nullptr;
  if (!ok(napi_get_instance_data(env, &data))) return nullptr;
  return static_cast<Slot*>(data);
}

void closeSlot(Slot* slot) {
  if (slot != nullptr && *slot != nullptr) {
    brannic_close(*slot);
    *slot = nullptr;
  }
}

bool setString(napi_env env, napi_value obj, const char* name, const char* text) {
  napi_value value;
  return ok(napi_create_string_utf8(env, text, NAPI_AUTO_LENGTH, &value)) &&
         ok(napi_set_named_property(env, obj, name, value));
}

// A new object whose first property is ok.
napi_value makeResult(napi_env env, bool success) {
  napi_value obj;
  napi_value flag;
  if (!ok(napi_create_object(env, &obj)) || !ok(napi_get_boolean(env, success, &flag)) ||
      !ok(napi_set_named_property(env, obj, "ok", flag))) {
    return nullptr;
  }
  return obj;
}

// Adds error and, when there is a text, message to a result whose ok is false.
napi_value addFailure(napi_env env, napi_value obj, const char* name, const char* message) {
  if (obj == nullptr || !setString(env, obj, "error", name)) return nullptr;
  if (message != nullptr && message[0] != '\0' && !setString(env, obj, "message", message)) return nullptr;
  return obj;
}

// {ok: false, error: name} plus the context's failure text as message when there is one. Failures
// found by this layer pass no context and so carry no message.
napi_value make_error_result_ex(napi_env env, const char* name, brannic_ctx* ctx) {
  return addFailure(env, makeResult(env, false), name, ctx != nullptr ? brannic_get_last_error(ctx) : nullptr);
}

napi_value invalidArg(napi_env env) { return make_error_result_ex(env, "BNQ_ERR_INVALID_ARG", nullptr); }
napi_value noMemory(napi_env env) { return make_error_result_ex(env, "BNQ_ERR_NO_MEMORY", nullptr); }

napi_value codeResult(napi_env env, int32_t code, brannic_ctx* ctx) {
  if (code == BNQ_OK) return makeResult(env, true);
  return make_error_result_ex(env, bnq_error_to_string(code), ctx);
}

bool isType(napi_env env, napi_value value, napi_valuetype expected) {
  napi_valuetype type;
  return ok(napi_typeof(env, value, &type)) && type == expected;
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using StringCopy = std::unique_ptr<char, FreeDeleter>;

// The UTF-8 length of a JavaScript string in bytes, without a terminator.
bool stringLength(napi_env env, napi_value value, size_t* length) {
  return ok(napi_get_value_string_utf8(env, value, nullptr, 0, length));
}

enum class CopyStatus { kOk, kNoMemory, kFailed };

// Copies a JavaScript string of UTF-8 length `length` (from stringLength) as NUL-terminated UTF-8 into
// a buffer of exactly length + 1 bytes.
CopyStatus copyString(napi_env env, napi_value value, size_t length, StringCopy& out) {
  out.reset(static_cast<char*>(std::malloc(length + 1)));
  if (!out) return CopyStatus::kNoMemory;
  size_t copied = 0;
  if (!ok(napi_get_value_string_utf8(env, value, out.get(), length + 1, &copied))) return CopyStatus::kFailed;
  return CopyStatus::kOk;
}

// What a function returns when copying its string argument failed: BNQ_ERR_NO_MEMORY, or undefined
// when a Node-API call failed.
napi_value copyFailure(napi_env env, CopyStatus status) {
  return status == CopyStatus::kNoMemory ? noMemory(env) : nullptr;
}

// Reads up to `count` arguments; the real count comes back in *argc.
bool getArgs(napi_env env, napi_callback_info info, size_t count, napi_value* argv, size_t* argc) {
  *argc = count;
  return ok(napi_get_cb_info(env, info, argc, argv, nullptr, nullptr));
}

// Zeroes a buffer through volatile stores, so the compiler cannot drop the wipe.
void wipe(char* buffer, size_t size) {
  volatile char* p = buffer;
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

napi_value napi_init(napi_env env, napi_callback_info) {
  Slot* slot = getSlot(env);
  if (slot == nullptr) return noMemory(env);
  closeSlot(slot);
  const int32_t code = brannic_init(slot);
  if (code == BNQ_OK) return makeResult(env, true);
  return addFailure(env, makeResult(env, false), bnq_error_to_string(code), brannic_get_init_error());
}

napi_value napi_close(napi_env env, napi_callback_info) {
  closeSlot(getSlot(env));
  return makeResult(env, true);
}

napi_value napi_report_signal(napi_env env, napi_callback_info info) {
  napi_value argv[2];
  size_t argc;
  if (!getArgs(env, info, 2, argv, &argc)) return nullptr;
  if (argc < 2 || !isType(env, argv[0], napi_number)) return invalidArg(env);
  int64_t wide = 0;
  if (!ok(napi_get_value_int64(env, argv[0], &wide))) return nullptr;
  // The low 32 bits, as a signed value.
  const auto type = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(wide)));
  if (type < 0 || type > 8 || !isType(env, argv[1], napi_string)) return invalidArg(env);
  size_t length = 0;
  if (!stringLength(env, argv[1], &length)) return nullptr;
  if (length == 0) return invalidArg(env);

  StringCopy content;
  const CopyStatus copied = copyString(env, argv[1], length, content);
  if (copied != CopyStatus::kOk) return copyFailure(env, copied);
  Slot* slot = getSlot(env);
  if (slot == nullptr || *slot == nullptr) return invalidArg(env);
  const int32_t code = brannic_report_signal(*slot, type, content.get());
  content.reset();
  return codeResult(env, code, *slot);
}

// The shared first steps of triggerSignal and checkSignal: one string argument, copied, and a context.
// When `ready` is false the function returns `early` at once: a failure object, or undefined when a
// Node-API call failed.
struct JsonArg {
  bool ready = false;
  napi_value early = nullptr;
  brannic_ctx* ctx = nullptr;  // set when ready
  StringCopy json;             // set when ready
};

JsonArg takeJsonArg(napi_env env, napi_callback_info info) {
  JsonArg arg;
  napi_value argv[1];
  size_t argc;
  if (!getArgs(env, info, 1, argv, &argc)) return arg;
  if (argc < 1 || !isType(env, argv[0], napi_string)) {
    arg.early = invalidArg(env);
    return arg;
  }
  size_t length = 0;
  if (!stringLength(env, argv[0], &length)) return arg;
  const CopyStatus copied = copyString(env, argv[0], length, arg.json);
  if (copied != CopyStatus::kOk) {
    arg.early = copyFailure(env, copied);
    return arg;
  }
  Slot* slot = getSlot(env);
  if (slot == nullptr || *slot == nullptr) {
    arg.early = invalidArg(env);
    return arg;
  }
  arg.ctx = *slot;
  arg.ready = true;
  return arg;
}

napi_value napi_trigger_signal(napi_env env, napi_callback_info info) {
  JsonArg arg = takeJsonArg(env, info);
  if (!arg.ready) return arg.early;
  const int32_t code = brannic_trigger_signal(arg.ctx, arg.json.get());
  arg.json.reset();
  return codeResult(env, code, arg.ctx);
}

napi_value napi_check_signal(napi_env env, napi_callback_info info) {
  JsonArg arg = takeJsonArg(env, info);
  if (!arg.ready) return arg.early;
  char session_id[kSessionIdSize] = {};
  char signal_result[kSignalResultSize] = {};
  const int32_t code = brannic_check_signal(arg.ctx, arg.json.get(), session_id, sizeof session_id,
                                            signal_result, sizeof signal_result);
  arg.json.reset();
  if (code != BNQ_OK) return codeResult(env, code, arg.ctx);
  napi_value obj = makeResult(env, true);
  if (obj == nullptr) return nullptr;
  if (session_id[0] != '\0' && !setString(env, obj, "session_id", session_id)) return nullptr;
  if (signal_result[0] != '\0' && !setString(env, obj, "signal_result", signal_result)) return nullptr;
  return obj;
}

// Clears a JavaScript exception that a failed call left pending, so that it never reaches the caller.
void clearPendingException(napi_env env) {
  bool pending = false;
  if (ok(napi_is_exception_pending(env, &pending)) && pending) {
    napi_value ignored;
    static_cast<void>(ok(napi_get_and_clear_last_exception(env, &ignored)));
  }
}

// JSON.stringify(value) copied into buffer (at most size - 1 bytes). False when it cannot be called or
// throws (reaching JSON.stringify may throw too, through a getter); the exception is cleared. A result
// that is not a string leaves the buffer empty.
bool stringifyInto(napi_env env, napi_value value, char* buffer, size_t size) {
  napi_value global, json, stringify, text;
  if (!ok(napi_get_global(env, &global)) || !ok(napi_get_named_property(env, global, "JSON", &json)) ||
      !ok(napi_get_named_property(env, json, "stringify", &stringify)) ||
      !ok(napi_call_function(env, json, stringify, 1, &value, &text))) {
    clearPendingException(env);
    return false;
  }
  size_t copied = 0;
  if (!ok(napi_get_value_string_utf8(env, text, buffer, size, &copied))) buffer[0] = '\0';
  return true;
}

napi_value napi_identity_agent(napi_env env, napi_callback_info info) {
  napi_value obj = makeResult(env, false);
  if (obj == nullptr) return nullptr;
  Slot* slot = getSlot(env);
  if (slot == nullptr || *slot == nullptr) return addFailure(env, obj, "BNQ_ERR_INVALID_ARG", nullptr);

  napi_value argv[1];
  size_t argc;
  if (!getArgs(env, info, 1, argv, &argc)) return nullptr;
  char agent_json[kAgentJsonSize] = {};
  const char* payload = nullptr;
  if (argc >= 1) {
    napi_valuetype type;
    if (!ok(napi_typeof(env, argv[0], &type))) return nullptr;
    if (type == napi_object) {
      if (!stringifyInto(env, argv[0], agent_json, sizeof agent_json)) {
        return addFailure(env, obj, "BNQ_ERR_INVALID_ARG", nullptr);
      }
      payload = agent_json;
    } else if (type != napi_undefined && type != napi_null) {
      return addFailure(env, obj, "BNQ_ERR_INVALID_ARG", nullptr);
    }
  }

  char token[kTokenSize];
  const int32_t code = brannic_identity_agent(*slot, payload, token, sizeof token);
  napi_value result = nullptr;
  napi_value flag;
  if (ok(napi_get_boolean(env, code == BNQ_OK, &flag)) && ok(napi_set_named_property(env, obj, "ok", flag))) {
    if (code == BNQ_OK) {
      if (setString(env, obj, "token", token)) result = obj;
    } else {
      result = addFailure(env, obj, bnq_error_to_string(code), brannic_get_last_error(*slot));
    }
  }
  wipe(token, sizeof token);
  return result;
}

napi_value napi_version(napi_env env, napi_callback_info) {
  napi_value text;
  if (!ok(napi_create_string_utf8(env, brannic_version(), NAPI_AUTO_LENGTH, &text))) return nullptr;
  return text;
}

void instance_finalize(napi_env, void* data, void*) {
  Slot* slot = static_cast<Slot*>(data);
  closeSlot(slot);
  std::free(slot);
}

struct Export {
  const char* name;
  napi_callback callback;
};

constexpr Export kExports[] = {
    {"init", napi_init},
    {"close", napi_close},
    {"reportSignal", napi_report_signal},
    {"triggerSignal", napi_trigger_signal},
    {"checkSignal", napi_check_signal},
    {"identityAgent", napi_identity_agent},
    {"version", napi_version},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(napi_env env,
                                                                                    napi_value exports) {
  auto* slot = static_cast<Slot*>(std::calloc(1, sizeof(Slot)));
  if (slot == nullptr) {
    static_cast<void>(ok(napi_throw_error(env, nullptr, "Failed to allocate addon instance data")));
    return nullptr;
  }
  // Without a slot the functions still load; init() then reports BNQ_ERR_NO_MEMORY.
  if (!ok(napi_set_instance_data(env, slot, instance_finalize, nullptr))) std::free(slot);

  napi_value functions[sizeof kExports / sizeof kExports[0]];
  for (size_t i = 0; i < sizeof kExports / sizeof kExports[0]; ++i) {
    if (!ok(napi_create_function(env, kExports[i].name, NAPI_AUTO_LENGTH, kExports[i].callback, nullptr,
                                 &functions[i]))) {
      return exports;
    }
  }
  for (size_t i = 0; i < sizeof kExports / sizeof kExports[0]; ++i) {
    if (!ok(napi_set_named_property(env, exports, kExports[i].name, functions[i]))) return exports;
  }
  return exports;
}
