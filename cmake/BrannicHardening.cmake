# Hardening for every target of the project, above all for what ships: brannic.node runs inside a host
# process and makes its trust decisions, and kalvex-helper serves a parent process. Applied to all targets so
# that every static library linked into either (codeSign, the client, the RPC layer, the stand-in SDK) gets
# the same code; tests/hardening/check_hardening.sh reads the built files to see that it took.
#
# Linux (gcc and clang):
#   -fstack-protector-strong   canaries in every function with a local array or an address-taken local
#   -fstack-clash-protection   probes large stack allocations page by page, so none jumps over a guard page
#   -fcf-protection            (x86-64 only) endbr64 landing pads and shadow-stack markings
#   _FORTIFY_SOURCE=2          bounds-checked variants of libc calls (__memcpy_chk, ...); only in optimised
#                              builds, where glibc implements it, and not under the sanitizers (their build
#                              is unoptimised, and their interceptors do the checking)
#   -z relro -z now            every import is bound at load and the relocated tables are read-only after it;
#                              a module whose host lacks one of its imports fails at dlopen (`require`
#                              throws) instead of killing the process at the first call
#   -z noexecstack             a non-executable stack even if some object lacks the .note.GNU-stack marker
# macOS (Apple clang and ld64, never built here): -fstack-protector-strong and _FORTIFY_SOURCE=2 only, which
# Apple's compiler takes. ld64 knows no -z options (macOS stacks are non-executable by default), and the
# code-generation options above are left out there because no Apple toolchain is at hand to confirm them.

# True for the builds that get _FORTIFY_SOURCE; tests/hardening/CMakeLists.txt tells the check the same.
set(BRANNIC_FORTIFY "$<AND:$<CONFIG:Release,RelWithDebInfo,MinSizeRel>,$<NOT:$<BOOL:${BRANNIC_SANITIZE}>>>")

add_compile_options(-fstack-protector-strong)
# -U first: a toolchain that predefines another level would otherwise warn about the redefinition.
add_compile_options("$<${BRANNIC_FORTIFY}:-U_FORTIFY_SOURCE>" "$<${BRANNIC_FORTIFY}:-D_FORTIFY_SOURCE=2>")

if(NOT APPLE)
  add_compile_options(-fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    add_compile_options(-fcf-protection)
  endif()
  add_link_options("LINKER:-z,relro,-z,now" "LINKER:-z,noexecstack")

  # One section per function and per data object, so that a link with --gc-sections (the addon's) keeps
  # only what is reachable from its entry points: codeSign's signing side stays out of brannic.node, and
  # with it the libcrypto functions that only signing uses.
  add_compile_options(-ffunction-sections -fdata-sections)
endif()
