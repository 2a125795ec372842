target_link_libraries(test_${area} PRIVATE update_tool_core wince update_tool_res)
add_dependencies(test_${area} vboard image-update-tool mkbin)
