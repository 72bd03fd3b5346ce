# Compiler flags shared by every target of the project.

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                    -Wcast-align -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough
                    "$<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor;-Wold-style-cast;-Woverloaded-virtual>")
if(BRANNIC_WERROR)
  add_compile_options(-Werror)
endif()

if(BRANNIC_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(BRANNIC_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BRANNIC_FUZZ needs clang (configure with CC=clang-14 CXX=clang++-14)")
  endif()
  # Every library gets coverage instrumentation; only fuzz targets link the libFuzzer driver.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
