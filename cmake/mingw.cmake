# Cross build for Windows with the mingw-w64 "-posix" compilers (GoogleTest needs std::mutex).
# MINGW_ARCH is i686 for the product; x86_64 only for test runs on hosts that cannot run 32-bit Wine.
set(MINGW_ARCH i686 CACHE STRING "mingw-w64 target: i686 or x86_64")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_ARCH})
set(CMAKE_C_COMPILER ${MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The folder of the "-win32" compilers' runtime (libstdc++, libgcc): the product links that one,
# since with the posix thread model libgcc's unwinder alone pulls in winpthreads. Empty where
# those compilers are not installed.
execute_process(COMMAND ${MINGW_ARCH}-w64-mingw32-g++-win32 -print-libgcc-file-name
    OUTPUT_VARIABLE MINGW_WIN32_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(MINGW_WIN32_LIBGCC)
    get_filename_component(MINGW_WIN32_RUNTIME_DIR "${MINGW_WIN32_LIBGCC}" DIRECTORY)
endif()
