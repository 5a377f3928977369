# What the soak and the test suite's leak check and doubles share: the resource
# counters (bench/counters.h) and the import-table patch (bench/imports.h).
# Both include() this file; whichever comes first defines the target.
if(NOT TARGET barprobes)
  add_library(barprobes STATIC ${CMAKE_CURRENT_LIST_DIR}/counters.cpp ${CMAKE_CURRENT_LIST_DIR}/imports.cpp)
  target_include_directories(barprobes PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_definitions(barprobes PRIVATE ${BAR_DEFINES})
  target_compile_options(barprobes PRIVATE ${BAR_WARNINGS})
  target_link_libraries(barprobes PUBLIC psapi)
endif()
