# The driver is linked alone, as the program's own source, against the platform.
target_sources(test_flash PRIVATE ${PROJECT_SOURCE_DIR}/update-tool/flash.cpp)
target_include_directories(test_flash PRIVATE ${PROJECT_SOURCE_DIR}/update-tool)
target_link_libraries(test_flash PRIVATE wince)
# The bus lock is tested on its own, through the board's system layer.
target_include_directories(test_flash PRIVATE ${PROJECT_SOURCE_DIR}/board/src)
include(${CMAKE_CURRENT_SOURCE_DIR}/flash/qemu/harness.cmake)
