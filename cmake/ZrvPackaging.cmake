# What an install adds beyond the targets' own rules (zrvlog, libzrv, zrvsim, the help pages,
# the icon and the desktop entry), and the Debian package: cpack -G DEB in a build folder, or
# scripts/package, gives zrvlog_<version>_<arch>.deb with everything an install has.

install(TARGETS zrvctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The C interface, and the C++ class with the two headers it includes. The folder keeps the
# board/ prefix so that programs include them as the sources do: "board/zrv.h".
install(FILES
    ${PROJECT_SOURCE_DIR}/board/zrv.h
    ${PROJECT_SOURCE_DIR}/board/zrvio.h
    ${PROJECT_SOURCE_DIR}/board/export.h
    ${PROJECT_SOURCE_DIR}/board/serialport.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrv/board)
# pkg-config --cflags --libs zrv; relative to the .pc file, so any prefix (and the package) works.
file(RELATIVE_PATH zrv_pc_prefix
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zrv.pc.in ${CMAKE_BINARY_DIR}/zrv.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zrv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(ZRV_PACKAGE_MAINTAINER "ZRVLOG developers <zrvlog@localhost>" CACHE STRING
  "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zrvlog)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZRV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The first line of the Description is the summary above; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ZRVLOG collects, plots and saves analog data from the ZRV I/O board, a small
microcontroller board on a serial port, in a window or headless. The package
also holds the ZRV library (libzrv.so, with its C and C++ headers and the
Python module zrv), zrvsim, which serves a simulated board on a
pseudo-terminal, and zrvctl, which drives a board from the shell.")
# The libraries come from the binaries (dpkg-shlibdeps). Beyond them the Python module needs
# python3, and the window Qt's platform plugins, which Qt itself only recommends.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, qt6-qpa-plugins")
# libzrv.so.1 is the package's own: a shlibs file, and ldconfig at removal (CPack's postrm) and
# at install (our postinst, which also byte-compiles the module; prerm removes the compiled
# files again, so that nothing is left behind in the system's Python folder).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
