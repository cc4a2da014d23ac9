include(GoogleTest)

# zrv_add_test(<name> [GUI] SOURCES <files...> LIBS <targets...>)
# One GoogleTest executable; its cases are registered with CTest one by one, and every
# case runs with the offscreen Qt platform and a private settings folder. GUI tests get a
# QApplication, the others a QCoreApplication.
function(zrv_add_test name)
  cmake_parse_arguments(ARG "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_GUI)
    set(entry zrv_test_main_gui)
  else()
    set(entry zrv_test_main_core)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${entry} GTest::gtest GTest::gmock)
  set(environment
    QT_QPA_PLATFORM=offscreen
    XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/test-config
    XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-data
    ZRV_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data
    ZRV_BIN_DIR=${CMAKE_BINARY_DIR}/bin)
  # Every case (and the discovery run) starts through "cmake -E env": a list given as the
  # ENVIRONMENT property loses all but its first entry in gtest_discover_tests' script.
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;${environment}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120)
endfunction()
