# The platform's file system, queues, notifications, keys and processes,
# called in-process on a temporary board; handles.h gives the handle count.
target_link_libraries(test_${area} PRIVATE wince)
target_include_directories(test_${area} PRIVATE ${PROJECT_SOURCE_DIR}/wince/src)
