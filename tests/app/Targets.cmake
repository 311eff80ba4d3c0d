# Programs the app's integration tests run: a probe that prints the string table it reads at run time; the
# updater and the tools, whose command lines they check.
if(NOT HALCYNE_SANITIZE)
  add_executable(string_table_probe ${CMAKE_CURRENT_LIST_DIR}/programs/StringTableProbe.cpp)
  target_link_libraries(string_table_probe PRIVATE halcyne_app)
  if(TARGET app_integration_tests)
    add_dependencies(app_integration_tests string_table_probe halcyne-stamp halcyne-updater halcyne-publish)
  endif()
endif()

# A program the process tests launch: it reports its arguments, working folder and signal state.
add_executable(process_probe ${CMAKE_CURRENT_LIST_DIR}/programs/ProcessProbe.cpp)
if(TARGET app_tests)
  add_dependencies(app_tests process_probe)
  target_compile_definitions(app_tests PRIVATE PROCESS_PROBE="$<TARGET_FILE:process_probe>")
endif()

# The GTK window under Xvfb (normal build only), through its module in this process and as the stamped
# updater: a program of its own, because GTK starts once per process and keeps its display to the end, and a
# short time limit per test (each test also has its own watchdog). The tests drive the window with GTK's own
# calls, so they link GTK; the window's code comes only from the module.
if(TARGET halcyne_gtk AND NOT HALCYNE_SANITIZE)
  file(GLOB window_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/window/*.cpp)
  add_executable(app_window_tests ${window_tests})
  # Xlib finds the stamped updater's windows on the display by their titles.
  pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
  pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
  target_link_libraries(app_window_tests PRIVATE halcyne_test_support GTest::gtest_main PkgConfig::GTK3
                        PkgConfig::X11)
  # The support library's precompiled header, compiled again with GTK's flags (-pthread): the support
  # library's own is built without them and cannot be reused here. It also includes the test framework
  # before Xlib's macros (None, Bool) can clash with it.
  target_precompile_headers(app_window_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/Precompiled.hpp)
  add_dependencies(app_window_tests halcyne_gtk halcyne-stamp halcyne-updater)
  gtest_discover_tests(app_window_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS integration TIMEOUT 90)
endif()

# Stand-ins for the window's module, for the tests of how the updater chooses its view: one that makes a
# view, and the ways a module can be wrong (no module symbols, another interface version, a failing factory).
foreach(variant IN ITEMS working bare stale refusing)
  add_library(fake_view_module_${variant} MODULE ${CMAKE_CURRENT_LIST_DIR}/programs/FakeViewModule.cpp)
  target_include_directories(fake_view_module_${variant} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  string(TOUPPER ${variant} variant_define)
  target_compile_definitions(fake_view_module_${variant} PRIVATE FAKE_VIEW_MODULE_${variant_define})
  set_target_properties(fake_view_module_${variant} PROPERTIES CXX_VISIBILITY_PRESET hidden)
  if(TARGET app_tests)
    add_dependencies(app_tests fake_view_module_${variant})
  endif()
endforeach()
