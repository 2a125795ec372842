# The driver's source, unchanged, in a bare-metal harness for 32-bit ARM, run
# by the QEMU tests of test_flash on an emulated machine's flash. Built when
# the cross compiler is there; the tests skip themselves where it or
# qemu-system-arm is not.
find_program(VBOARD_ARM_GCC arm-none-eabi-gcc)
if(VBOARD_ARM_GCC)
  set(harness_dir ${CMAKE_CURRENT_LIST_DIR})
  set(harness_sources ${harness_dir}/start.S ${harness_dir}/harness.cpp ${PROJECT_SOURCE_DIR}/update-tool/flash.cpp)
  set(harness_elf ${CMAKE_BINARY_DIR}/bin/flash-qemu-harness.elf)
  add_custom_command(
    OUTPUT ${harness_elf}
    COMMAND ${VBOARD_ARM_GCC} -mthumb -march=armv7-a -mfloat-abi=soft -O2 -std=gnu++98 -ffreestanding
            -fno-exceptions -fno-rtti -fno-threadsafe-statics -Wall -Wextra -Werror -I${harness_dir}/include
            -I${PROJECT_SOURCE_DIR}/update-tool -nostartfiles -T ${harness_dir}/harness.ld
            ${harness_sources} -Wl,--start-group -lc -lnosys -Wl,--end-group -o ${harness_elf}
    DEPENDS ${harness_sources} ${harness_dir}/harness.ld ${harness_dir}/include/windows.h
            ${harness_dir}/include/ceddk.h ${PROJECT_SOURCE_DIR}/update-tool/flash.h
    COMMENT "Building the flash driver's ARM harness"
    VERBATIM)
  add_custom_target(flash_qemu_harness DEPENDS ${harness_elf})
  add_dependencies(test_flash flash_qemu_harness)
endif()
