# Programs the app's integration tests run: a probe that prints the string table it reads at run time.
if(NOT HALCYNE_SANITIZE)
  add_executable(string_table_probe ${CMAKE_CURRENT_LIST_DIR}/programs/StringTableProbe.cpp)
  target_link_libraries(string_table_probe PRIVATE halcyne_app)
  if(TARGET app_integration_tests)
    add_dependencies(app_integration_tests string_table_probe halcyne-stamp halcyne-updater)
  endif()
endif()

# A program the process tests launch: it reports its arguments, working folder and signal state.
add_executable(process_probe ${CMAKE_CURRENT_LIST_DIR}/programs/ProcessProbe.cpp)
if(TARGET app_tests)
  add_dependencies(app_tests process_probe)
  target_compile_definitions(app_tests PRIVATE PROCESS_PROBE="$<TARGET_FILE:process_probe>")
endif()
