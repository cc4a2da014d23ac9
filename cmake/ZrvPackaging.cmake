# What an install adds beyond the targets' own rules (zrvlog, libzrv, zrvsim, the help pages,
# the icon and the desktop entry): zrvctl, the library's headers and its pkg-config file. The
# Debian packages are made from such an install by scripts/package (see debian/).

install(TARGETS zrvctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The C interface, the C++ class and every header these include, so that a host compiles with
# pkg-config's flags alone. The folders keep their prefixes, so that programs include them as
# the sources do: "board/zrv.h", "board/zrvio.h", "common/automationerror.h".
install(FILES
    ${PROJECT_SOURCE_DIR}/board/zrv.h
    ${PROJECT_SOURCE_DIR}/board/zrvio.h
    ${PROJECT_SOURCE_DIR}/board/export.h
    ${PROJECT_SOURCE_DIR}/board/host.h
    ${PROJECT_SOURCE_DIR}/board/portmap.h
    ${PROJECT_SOURCE_DIR}/board/propertybag.h
    ${PROJECT_SOURCE_DIR}/board/protocol.h
    ${PROJECT_SOURCE_DIR}/board/serialport.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrv/board)
install(FILES ${PROJECT_SOURCE_DIR}/common/automationerror.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrv/common)
# pkg-config --cflags --libs zrv; relative to the .pc file, so any prefix (and the package) works.
file(RELATIVE_PATH zrv_pc_prefix
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zrv.pc.in ${CMAKE_BINARY_DIR}/zrv.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zrv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
