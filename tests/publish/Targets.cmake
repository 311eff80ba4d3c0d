# The publishing tool's integration tests run the built tool.
if(TARGET publish_integration_tests)
  add_dependencies(publish_integration_tests halcyne-publish)
endif()
