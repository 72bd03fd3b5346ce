// Module entry of brannic.node.
#include <node_api.h>

NAPI_MODULE_INIT() {
  static_cast<void>(env);
  return exports;
}
