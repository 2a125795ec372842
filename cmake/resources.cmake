# Compiles a program's .rc with the platform's resource compiler (llvm-rc,
# preprocessing with our stand-in headers) and embeds the .res in a source
# file that defines the program's module resources.
function(vboard_add_resources target rc_file)
  get_filename_component(name ${rc_file} NAME_WE)
  set(res ${CMAKE_CURRENT_BINARY_DIR}/${name}.res)
  set(cpp ${CMAKE_CURRENT_BINARY_DIR}/${name}_res.cpp)
  # "--" ends the options: llvm-rc takes "/" as an option prefix too, so a
  # checkout under /ci, /d, /l, /u, /fo... would otherwise lose its input file.
  add_custom_command(
    OUTPUT ${res}
    COMMAND ${LLVM_RC} /I ${PROJECT_SOURCE_DIR}/wince/include /I ${CMAKE_CURRENT_SOURCE_DIR} /FO ${res} -- ${rc_file}
    DEPENDS ${rc_file} ${ARGN}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    COMMENT "Compiling resources ${name}.rc")
  add_custom_command(
    OUTPUT ${cpp}
    COMMAND ${CMAKE_COMMAND} -DRES=${res} -DOUT=${cpp} -DNAME=${name} -P ${PROJECT_SOURCE_DIR}/cmake/embed_res.cmake
    DEPENDS ${res} ${PROJECT_SOURCE_DIR}/cmake/embed_res.cmake)
  add_library(${target} OBJECT ${cpp})
  target_link_libraries(${target} PRIVATE wince)
endfunction()
