# The verification key compiled into codeSign (embedded_keys::PUBLIC_KEY_PEM).
#
# By default the development key of this repository is built in. Its private half is committed among the
# test fixtures, so anyone can sign for a build that carries it: a deployment passes the public half of its
# own signing key with -DBRANNIC_SIGNING_PUBLIC_KEY=/path/to/public.pem.
#
# Variables for the rest of the build:
#   BRANNIC_SIGNING_PUBLIC_KEY_FILE  the public PEM that is built in
#   BRANNIC_SIGNING_KEY_IS_DEV       TRUE while the development key is built in
#   BRANNIC_DEV_PRIVATE_KEY          the development private key (TEST ONLY), which matches the built-in key
#                                    only while BRANNIC_SIGNING_KEY_IS_DEV is TRUE

set(BRANNIC_SIGNING_PUBLIC_KEY "" CACHE FILEPATH
    "Public PEM (RSA-2048, \"PUBLIC KEY\" block) built in as codeSign's verification key; empty: the development key")

set(BRANNIC_DEV_PUBLIC_KEY "${CMAKE_SOURCE_DIR}/src/common/module/codeSign/keys/dev_public_key.pem")
set(BRANNIC_DEV_PRIVATE_KEY "${CMAKE_SOURCE_DIR}/tests/fixtures/keys/dev_private_key.pem")

if(BRANNIC_SIGNING_PUBLIC_KEY)
  set(BRANNIC_SIGNING_PUBLIC_KEY_FILE "${BRANNIC_SIGNING_PUBLIC_KEY}")
  set(BRANNIC_SIGNING_KEY_IS_DEV FALSE)
else()
  set(BRANNIC_SIGNING_PUBLIC_KEY_FILE "${BRANNIC_DEV_PUBLIC_KEY}")
  set(BRANNIC_SIGNING_KEY_IS_DEV TRUE)
endif()

# The form the library expects: 451 characters in 9 lines, the marker lines around six lines of 64 Base64
# characters and one of 8. The first line must begin with the DER prefix of an RSA SubjectPublicKeyInfo with
# a 257-byte modulus integer, and the next character must set the modulus's top bit: exactly 2048 bits.
function(brannic_check_signing_key file)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "BRANNIC_SIGNING_PUBLIC_KEY: no such file: ${file}")
  endif()
  file(READ "${file}" pem)
  string(LENGTH "${pem}" length)
  set(b64 "[A-Za-z0-9+/]")
  set(line "${b64}${b64}${b64}${b64}${b64}${b64}${b64}${b64}")
  set(line "${line}${line}${line}${line}${line}${line}${line}${line}")
  set(form "^-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA[g-z0-9+/]")
  if(NOT length EQUAL 451
     OR NOT pem MATCHES "${form}"
     OR NOT pem MATCHES "^-----BEGIN PUBLIC KEY-----\n${line}\n${line}\n${line}\n${line}\n${line}\n${line}\n[A-Za-z0-9+/=][A-Za-z0-9+/=][A-Za-z0-9+/=][A-Za-z0-9+/=][A-Za-z0-9+/=][A-Za-z0-9+/=][A-Za-z0-9+/=][A-Za-z0-9+/=]\n-----END PUBLIC KEY-----\n$")
    message(FATAL_ERROR "${file} is not an RSA-2048 public key as a 451-character PEM \"PUBLIC KEY\" block "
                        "(make one with: openssl pkey -in private.pem -pubout -out public.pem)")
  endif()
  # Where the openssl command is at hand, it must also read the block as a 2048-bit RSA key.
  find_program(BRANNIC_OPENSSL_EXECUTABLE openssl)
  if(BRANNIC_OPENSSL_EXECUTABLE)
    execute_process(COMMAND "${BRANNIC_OPENSSL_EXECUTABLE}" pkey -pubin -in "${file}" -noout -text
                    RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_QUIET)
    if(NOT status EQUAL 0 OR NOT text MATCHES "Public-Key: \\(2048 bit\\)")
      message(FATAL_ERROR "${file}: openssl does not read it as an RSA-2048 public key")
    endif()
  endif()
endfunction()

brannic_check_signing_key("${BRANNIC_SIGNING_PUBLIC_KEY_FILE}")
# A changed key file reconfigures, so the constant never goes stale.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${BRANNIC_SIGNING_PUBLIC_KEY_FILE}")
