#!/bin/sh
# Checks the built module's dynamic section: it defines exactly napi_register_module_v1, and it names no
# libcrypto among its needed libraries (the Linux addon takes OpenSSL's symbols from the Node process).
set -eu
module=$1
defined=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
if [ "$defined" != "napi_register_module_v1" ]; then
  echo "unexpected exported symbols in $module:" >&2
  echo "$defined" >&2
  exit 1
fi
if readelf -d "$module" | grep NEEDED | grep -q -i 'libcrypto'; then
  echo "$module names libcrypto among its needed libraries:" >&2
  readelf -d "$module" | grep NEEDED >&2
  exit 1
fi
