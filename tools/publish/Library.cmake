# The publishing tool's library: halcyne-publish and the tests' site writer share it, so it is built in
# every variant (the tool itself only in the normal build, with the other tools).
add_library(halcyne_publish STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SitePublisher.cpp ${CMAKE_CURRENT_LIST_DIR}/EngineFormats.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SigningKey.cpp ${CMAKE_CURRENT_LIST_DIR}/NodeListChanges.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SiteCheck.cpp)
target_include_directories(halcyne_publish PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(halcyne_publish PUBLIC halcyne)
