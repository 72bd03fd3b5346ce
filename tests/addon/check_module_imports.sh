#!/bin/sh
# Checks that the libcrypto functions the built module takes from the host are only those that verifying a
# signature calls: the link keeps nothing of codeSign's signing side, so a host whose libcrypto lacks a
# signing function still loads the module.
# Usage: check_module_imports.sh MODULE LIBCRYPTO FLAVOUR
#   LIBCRYPTO  the libcrypto shared library the build compiled against, to tell its symbols from the rest
#   FLAVOUR    linux (codeSign inside: it verifies the daemon) or macos (no codeSign: no libcrypto at all)
set -eu
module=$1
libcrypto=$2
flavour=$3

# What the verification path calls: a memory BIO over the PEM text, the walk over its blocks to the first
# "PUBLIC KEY" one and its decoding into a key, SHA-256/SHA-512 digests, one signature check, and the
# error-queue mark that keeps the host's queue clean. Key generation, signing, the DER form of a key and
# the PEM readers and writers of files and private keys are the signing side's.
verification_path="BIO_ctrl BIO_free BIO_new_mem_buf CRYPTO_free ERR_clear_error ERR_pop_to_mark
ERR_set_mark EVP_DigestFinal_ex EVP_DigestInit_ex EVP_DigestUpdate EVP_DigestVerifyFinal EVP_DigestVerifyInit
EVP_DigestVerifyUpdate EVP_MD_CTX_free EVP_MD_CTX_new EVP_PKEY_free EVP_sha256 EVP_sha512 PEM_do_header
PEM_get_EVP_CIPHER_INFO PEM_read_bio d2i_PUBKEY"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
nm -D --defined-only "$libcrypto" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort -u >"$tmp/libcrypto"
if [ ! -s "$tmp/libcrypto" ]; then
  echo "no symbols read from $libcrypto" >&2
  exit 1
fi
nm -D --undefined-only "$module" | awk '{ sub(/@.*/, "", $2); print $2 }' | sort -u >"$tmp/undefined"
comm -12 "$tmp/undefined" "$tmp/libcrypto" >"$tmp/imported"
if [ "$flavour" = macos ]; then
  : >"$tmp/allowed"
else
  printf '%s\n' $verification_path | sort -u >"$tmp/allowed"
  # Guards the matching itself: the Linux module verifies signatures.
  if ! grep -qx EVP_DigestVerifyFinal "$tmp/imported"; then
    echo "$module imports no EVP_DigestVerifyFinal from $libcrypto" >&2
    exit 1
  fi
fi
extra=$(comm -23 "$tmp/imported" "$tmp/allowed")
if [ -n "$extra" ]; then
  echo "$module takes libcrypto functions from the host that verification does not call:" >&2
  echo "$extra" >&2
  exit 1
fi
