# The platform's dialogs, resources and operators, tested against the
# program's own resources. Private headers of the platform are used for the
# parts tested on their own (the script reader, the terminal on pipes).
target_link_libraries(test_${area} PRIVATE update_tool_res wince)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/wince/src ${PROJECT_SOURCE_DIR}/update-tool)
add_dependencies(test_${area} image-update-tool)
