# Installation and the Debian package.
#
# `cmake --install <build> --prefix /usr` installs the program to bin/, its
# manual page to share/man/man1/ and zorv-dask (share/zorv/, linked from
# bin/), and nothing else: the static library, the tests and the benchmarks
# stay in the build tree. `cpack -G DEB` in the build directory packs the
# same files as zorv_<version>_<arch>.deb.
include(GNUInstallDirs)

install(TARGETS zorv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/zorv.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# zorv-dask, Python, architecture-independent: its two files in share/zorv/
# (the launcher finds its module beside its own real path) and a link to
# the launcher in bin/. It runs the zorv it finds on PATH.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/cluster/zorv-dask DESTINATION ${CMAKE_INSTALL_DATADIR}/zorv)
install(FILES ${PROJECT_SOURCE_DIR}/cluster/zorv_dask.py DESTINATION ${CMAKE_INSTALL_DATADIR}/zorv)
install(CODE "
  set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(MAKE_DIRECTORY \"\${bin}\")
  file(CREATE_LINK ../${CMAKE_INSTALL_DATADIR}/zorv/zorv-dask \"\${bin}/zorv-dask\" SYMBOLIC)
")

set(CPACK_PACKAGE_NAME zorv)
# Spelled out rather than taken from project(): this is the version the
# program prints ("zorv, ver 1.03"), and it must stay that string exactly.
set(CPACK_PACKAGE_VERSION "1.03")
set(CPACK_PACKAGE_CONTACT "zorv developers <zorv-dev@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find files stored more than once across ZIP archives")
# Lines under 80 columns, as dpkg shows them; CPack indents each by one.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "zorv reads the central directory of every ZIP archive among the files"
  "and directories it is given, indexes each entry by the CRC-32 the"
  "archive stores for it, and prints every group of entries, within one"
  "archive or across many, that share a non-zero CRC-32. It never reads"
  "file data and never decompresses anything."
  ""
  "With -l it also lists, for every archive that holds duplicates, how"
  "many of its entries have a copy elsewhere. Equal CRC-32 values almost"
  "always, but not always, mean equal contents: compare before deleting.")
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # zorv_1.03_amd64.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed by dpkg-shlibdeps (dpkg-dev) from the binary itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# zorv-dask alone needs Dask and NumPy: recommended, not required.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-distributed")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
