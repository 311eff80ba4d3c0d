# Programs the app's integration tests run: a probe that prints the string table it reads at run time.
if(NOT HALCYNE_SANITIZE)
  add_executable(string_table_probe ${CMAKE_CURRENT_LIST_DIR}/programs/StringTableProbe.cpp)
  target_link_libraries(string_table_probe PRIVATE halcyne_app)
  if(TARGET app_integration_tests)
    add_dependencies(app_integration_tests string_table_probe halcyne-stamp halcyne-updater)
    target_compile_definitions(app_integration_tests PRIVATE
      STRING_TABLE_PROBE="$<TARGET_FILE:string_table_probe>"
      HALCYNE_STAMP="$<TARGET_FILE:halcyne-stamp>"
      HALCYNE_UPDATER="$<TARGET_FILE:halcyne-updater>")
  endif()
endif()
