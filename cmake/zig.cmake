# Release toolchain: zig's clang targeting an old glibc, with zig's libc++
# linked in statically, so the module runs on any Linux whose glibc is at
# least KELO_GLIBC (default 2.17) and needs no C++ runtime from the system.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake ...
#
# The compiler comes from the ziglang package of the Python that builds.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)

# zig searches only its own libc headers, never /usr/include. Debian's
# Python.h includes its pyconfig.h from the multiarch directory
# (<x86_64-linux-gnu/python3.14/pyconfig.h>), so that one directory is
# exposed through a link in the build tree, and nothing else of the system's.
if(Python_EXECUTABLE)
  set(_kelo_python ${Python_EXECUTABLE})
else()
  set(_kelo_python python3)
endif()
execute_process(
  COMMAND ${_kelo_python} -c "import sysconfig, os; i = sysconfig.get_paths()['include']; m = sysconfig.get_config_var('MULTIARCH') or ''; print(m + ';' + os.path.join(os.path.dirname(i), m, os.path.basename(i)) + ';' + os.path.basename(i))"
  OUTPUT_VARIABLE _kelo_py OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _kelo_rc)
if(_kelo_rc EQUAL 0)
  list(GET _kelo_py 0 _kelo_multiarch)
  list(GET _kelo_py 1 _kelo_multiarch_dir)
  list(GET _kelo_py 2 _kelo_pyname)
  if(_kelo_multiarch AND EXISTS ${_kelo_multiarch_dir}/pyconfig.h)
    set(_kelo_inc ${CMAKE_BINARY_DIR}/zig-include)
    file(MAKE_DIRECTORY ${_kelo_inc}/${_kelo_multiarch})
    file(CREATE_LINK ${_kelo_multiarch_dir} ${_kelo_inc}/${_kelo_multiarch}/${_kelo_pyname} SYMBOLIC)
    set(CMAKE_CXX_FLAGS_INIT "-isystem ${_kelo_inc}")
  endif()
endif()

# zig's libc++ carries its debug information (10 MB); the module ships without.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-debug")

# Sources the module gains with this toolchain (see the file's comment).
set(KELO_TOOLCHAIN_SOURCES ${CMAKE_CURRENT_LIST_DIR}/zig_glibc_mem.cpp)
