target_link_libraries(test_${area} PRIVATE binimage)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/tools/binimage)
add_dependencies(test_${area} mkbin inspectbin)
