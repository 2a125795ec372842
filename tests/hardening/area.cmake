# Power cuts, concurrency and soak: the programs as processes on one board,
# and the agent's own sources driven in-process for the soak.
target_link_libraries(test_${area} PRIVATE autorun_agent_core wince binimage)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/wince/src ${PROJECT_SOURCE_DIR}/update-tool
                                                ${PROJECT_SOURCE_DIR}/tools/binimage)
add_dependencies(test_${area} image-update-tool autorun-agent)
