# The resource counters (bench/counters.h): the soak and the test suite's leak
# check both include() this file; whichever comes first defines the target.
if(NOT TARGET barcounters)
  add_library(barcounters STATIC ${CMAKE_CURRENT_LIST_DIR}/counters.cpp)
  target_include_directories(barcounters PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_definitions(barcounters PRIVATE ${BAR_DEFINES})
  target_compile_options(barcounters PRIVATE ${BAR_WARNINGS})
  target_link_libraries(barcounters PUBLIC psapi)
endif()
