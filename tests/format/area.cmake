target_link_libraries(test_${area} PRIVATE wince)
