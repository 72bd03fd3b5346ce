# Third-party dependencies, all as imported targets.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp>=1.9.5)
# codeSign's dependencies; the macOS build leaves codeSign out.
if(NOT APPLE)
  find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
  pkg_check_modules(LIBELF REQUIRED IMPORTED_TARGET libelf)
endif()

if(BRANNIC_TESTS)
  find_package(GTest 1.10 REQUIRED)
  include(GoogleTest)
endif()

# Node-API C headers, from the npm package node-api-headers (installed by `npm ci`).
set(BRANNIC_NODE_API_INCLUDE "${CMAKE_SOURCE_DIR}/node_modules/node-api-headers/include"
    CACHE PATH "Folder that holds node_api.h")
if(NOT EXISTS "${BRANNIC_NODE_API_INCLUDE}/node_api.h")
  message(FATAL_ERROR "node_api.h not found in ${BRANNIC_NODE_API_INCLUDE}: run `npm ci` first")
endif()
add_library(brannic_node_api INTERFACE)
# The headers are third-party: keep their warnings out of ours.
target_include_directories(brannic_node_api SYSTEM INTERFACE "${BRANNIC_NODE_API_INCLUDE}")
target_compile_definitions(brannic_node_api INTERFACE NAPI_VERSION=6)

find_program(BRANNIC_NODE_EXECUTABLE node REQUIRED)
