# The second compiler: Debian's clang for Windows (32-bit where the host runs 32-bit Wine:
# cmake/test-arch.cmake), against the same mingw-w64 headers,
# C++ library and runtime as the cross build, linked with lld. clang does not find the
# mingw-w64 GCC's C++ headers and libraries by itself (their folder is named after the thread
# model, 12-posix), so they are asked of that GCC and named here.
include(${CMAKE_CURRENT_LIST_DIR}/test-arch.cmake)
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${triple})
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR /usr/bin/${triple}-ar)
set(CMAKE_RANLIB /usr/bin/${triple}-ranlib)
# The mingw-w64 headers and libraries only: without it clang also searches the host's /usr/include.
set(CMAKE_SYSROOT /usr/${triple})

execute_process(COMMAND ${triple}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_dir ${libgcc} DIRECTORY)
if(NOT EXISTS ${gcc_dir}/include/c++/${triple})
  message(FATAL_ERROR "no C++ headers of the mingw-w64 GCC in ${gcc_dir}/include/c++")
endif()
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${triple}")
# -pthread: the posix thread model's runtime (libgcc_eh, libstdc++) needs winpthread, which
# GCC's driver links by itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${gcc_dir} -Wl,--fatal-warnings")
# This is the lint test's build: any warning of the compiler or the linker fails it (and keeps
# failing it on the next build, as nothing is left built).
set(CMAKE_COMPILE_WARNING_AS_ERROR ON)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run under Wine, as in the cross build.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../world/wine-run.sh)
