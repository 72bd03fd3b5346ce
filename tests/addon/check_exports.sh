#!/bin/sh
# Fails unless the module's dynamic symbol table defines exactly napi_register_module_v1.
set -eu
module=$1
defined=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
if [ "$defined" != "napi_register_module_v1" ]; then
  echo "unexpected exported symbols in $module:" >&2
  echo "$defined" >&2
  exit 1
fi
