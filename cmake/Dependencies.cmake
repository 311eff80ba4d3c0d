# Every library comes from Debian's packages, installed by scripts/setup.

find_package(Threads REQUIRED)
# Boost and libdeflate are linked statically: the updater ships to players as an archive that carries no
# copy of them, and the tools need no Boost package on the studio's machine.
set(Boost_USE_STATIC_LIBS ON)
find_package(Boost 1.74 REQUIRED COMPONENTS thread filesystem random date_time)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(PkgConfig REQUIRED)
find_library(HALCYNE_DEFLATE_STATIC NAMES libdeflate.a REQUIRED)
find_path(HALCYNE_DEFLATE_INCLUDE NAMES libdeflate.h REQUIRED)
add_library(halcyne_deflate STATIC IMPORTED)
set_target_properties(halcyne_deflate PROPERTIES IMPORTED_LOCATION ${HALCYNE_DEFLATE_STATIC}
                      INTERFACE_INCLUDE_DIRECTORIES ${HALCYNE_DEFLATE_INCLUDE})
find_package(GTest REQUIRED)
if(HALCYNE_BENCH AND NOT HALCYNE_SANITIZE AND NOT HALCYNE_FUZZ)
  find_package(benchmark REQUIRED)
endif()
