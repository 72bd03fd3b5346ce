# Build settings for what ships: brannic.node runs inside a host process and makes its trust decisions, and
# kalvex-helper serves a parent process.

if(NOT APPLE)
  # One section per function and per data object, so that a link with --gc-sections (the addon's) keeps
  # only what is reachable from its entry points: codeSign's signing side stays out of brannic.node, and
  # with it the libcrypto functions that only signing uses.
  add_compile_options(-ffunction-sections -fdata-sections)
endif()
