# A program the transfer's crash test runs and kills: one transfer through DownloadEngine.
if(NOT HALCYNE_SANITIZE)
  add_executable(transfer_driver ${CMAKE_CURRENT_LIST_DIR}/programs/TransferDriver.cpp)
  target_link_libraries(transfer_driver PRIVATE halcyne)
  if(TARGET transfer_integration_tests)
    add_dependencies(transfer_integration_tests transfer_driver)
  endif()
endif()
