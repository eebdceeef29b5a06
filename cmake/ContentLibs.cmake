# What the content checks (-c) link: decoders, hashing and the cache's
# database from Debian's packages (scripts/setup-debian installs them).
# OpenSSL's libcrypto is linked statically: only SHA-256 is taken from it,
# while the shared library alone would add its thousands of symbol
# relocations to the start of every run.
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(LibLZMA REQUIRED)
find_library(ZORV_CRYPTO_STATIC NAMES libcrypto.a REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(DEFLATE REQUIRED IMPORTED_TARGET libdeflate)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
# The content cache (--cache) keeps its outcomes in SQLite, linked
# statically for the same reason as libcrypto: a run without a cache pays
# nothing for it.
find_library(ZORV_SQLITE_STATIC NAMES libsqlite3.a REQUIRED)

function(zorv_link_content_libs target)
  target_link_libraries(${target} PUBLIC Threads::Threads ZLIB::ZLIB BZip2::BZip2
                        LibLZMA::LibLZMA ${ZORV_CRYPTO_STATIC} PkgConfig::DEFLATE PkgConfig::ZSTD
                        ${ZORV_SQLITE_STATIC} ${CMAKE_DL_LIBS} m)
endfunction()
