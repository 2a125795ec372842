# vboard as a person uses it: bad input refused, exit codes.
add_dependencies(test_${area} vboard image-update-tool mkbin)
# The version the tools must print, from here rather than from the tools.
target_compile_definitions(test_${area} PRIVATE VBOARD_EXPECTED_VERSION="${PROJECT_VERSION}")
# The install test installs the build's tree: everything it installs first.
add_dependencies(test_${area} inspectbin autorun-agent)
target_compile_definitions(test_${area} PRIVATE VBOARD_CMAKE_COMMAND="${CMAKE_COMMAND}")
