# The agent's own sources, driven in-process on a temporary board, and the
# agent as a process driven by vboard.
target_link_libraries(test_${area} PRIVATE autorun_agent_core wince)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/wince/src)
add_dependencies(test_${area} autorun-agent vboard)
