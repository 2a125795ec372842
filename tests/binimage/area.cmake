target_link_libraries(test_${area} PRIVATE binimage)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/tools/binimage)
add_dependencies(test_${area} mkbin inspectbin)
# The version the tools must print, from here rather than from the tools.
target_compile_definitions(test_${area} PRIVATE VBOARD_EXPECTED_VERSION="${PROJECT_VERSION}")
