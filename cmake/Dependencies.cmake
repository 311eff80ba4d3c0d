# Every library comes from Debian's packages, installed by scripts/setup.

find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread filesystem locale random date_time)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(Poco REQUIRED COMPONENTS Foundation)
find_package(PkgConfig REQUIRED)
pkg_check_modules(DEFLATE REQUIRED IMPORTED_TARGET libdeflate)
find_package(GTest REQUIRED)
if(HALCYNE_BENCH AND NOT HALCYNE_SANITIZE AND NOT HALCYNE_FUZZ)
  find_package(benchmark REQUIRED)
endif()
