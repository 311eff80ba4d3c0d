# Compiler launcher, warnings and sanitizer flags shared by every target.

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  # CCACHE_BASEDIR and the sloppiness that precompiled headers need are set by scripts/build,
  # so that a clone in another folder still hits the same cache; the launcher keeps precompiled headers
  # to the folder they were made in.
  set(CMAKE_C_COMPILER_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/ccache-launcher ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/ccache-launcher ${CCACHE_PROGRAM})
endif()

add_compile_options(-Wall -Wextra -Wpedantic -Werror)
# Boost 1.74 headers use a deprecated form that GCC 12 reports under -Wpedantic through asio.
add_compile_definitions(BOOST_ASIO_NO_DEPRECATED BOOST_BIND_GLOBAL_PLACEHOLDERS
                        BOOST_ALLOW_DEPRECATED_HEADERS BOOST_FILESYSTEM_NO_DEPRECATED)

if(HALCYNE_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(HALCYNE_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC warns that the fences inside Boost.Asio are not modelled by TSan; asio's own locks are.
    list(APPEND _san -Wno-tsan)
  endif()
elseif(NOT HALCYNE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "HALCYNE_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(_san)
  add_compile_options(${_san} -g1)
  add_link_options(${_san})
endif()

# -O2 rather than CMake's default -O3 for release: GCC 12 reports false stringop/array-bounds warnings on
# std::string code at -O3 (fatal under -Werror), and -O2 compiles faster for the same hot paths.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "" FORCE)
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "" FORCE)

# GCC 12 reports false -Warray-bounds/-Wstringop-overflow/-Wrestrict findings inside libstdc++'s inlined
# std::string code (GCC bugs 105329, 105651); they cannot be fixed in our code, so they are off for it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-array-bounds -Wno-stringop-overflow -Wno-restrict)
endif()

# The fuzz build: every object carries libFuzzer's coverage and the address and undefined-behaviour checks;
# the fuzz targets themselves link the fuzzer (tests/fuzz/CMakeLists.txt).
if(HALCYNE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
