# Compiles through ccache when the machine has it (scripts/setup.sh installs
# it); without it the build is the same, only uncached. Set up so that a
# clone in another folder hits what earlier builds on this machine cached:
# paths under the repository's folder are hashed relative to it, the working
# folder is left out of the hash, and the debug information names sources
# relative to the repository's folder, so an object made in one clone is the
# same object in the next. VBOARD_CCACHE=OFF turns it off.
option(VBOARD_CCACHE "Compile through ccache when it is installed" ON)
get_filename_component(vboard_repo_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(VBOARD_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(CCACHE_PROGRAM ccache)
  if(CCACHE_PROGRAM)
    # The fuzz build's coverage ignore list is named by an absolute path;
    # its digest is in the flags already (-frandom-seed), so its path is
    # left out of the hash.
    set(CMAKE_CXX_COMPILER_LAUNCHER
        ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${vboard_repo_root} CCACHE_NOHASHDIR=1
        "CCACHE_IGNOREOPTIONS=-fsanitize-coverage-ignorelist=*" ${CCACHE_PROGRAM})
    add_compile_options(-ffile-prefix-map=${vboard_repo_root}/=)
  endif()
endif()
