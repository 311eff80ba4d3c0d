# The publishing tool's integration tests run the built tool, and preload a library into it that kills it
# just before a chosen rename.
if(TARGET publish_integration_tests)
  add_library(kill_at_rename MODULE ${CMAKE_CURRENT_LIST_DIR}/preload/KillAtRename.cpp)
  set_target_properties(kill_at_rename PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
  target_link_libraries(kill_at_rename PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(publish_integration_tests halcyne-publish kill_at_rename)
endif()
