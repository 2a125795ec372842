# The platform's dialogs and resources, and the operators on them, tested
# against the program's own resources. The operators' private headers are
# used for the parts tested on their own (the script reader, the terminal on
# pipes).
target_link_libraries(test_${area} PRIVATE update_tool_res operators wince)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/operator/src ${PROJECT_SOURCE_DIR}/update-tool)
add_dependencies(test_${area} image-update-tool)
