# The operator's command line, beside tvlService in the ready folder.
add_executable(tvlctl ${CMAKE_CURRENT_SOURCE_DIR}/tvlctl/main.cpp)
target_link_libraries(tvlctl PRIVATE tvl_ops)
set_target_properties(tvlctl PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TAVELLA_DIST_DIR})
