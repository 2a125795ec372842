target_link_libraries(test_${area} PRIVATE update_tool_core wince binimage update_tool_res)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/tools/binimage)
# The image check tests verify the flash with inspectbin.
add_dependencies(test_${area} inspectbin)
