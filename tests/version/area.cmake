target_link_libraries(test_${area} PRIVATE update_tool_core wince)
# The report is also checked through the real program.
add_dependencies(test_${area} image-update-tool)
# For the handle count of the leak check.
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/wince/src)
