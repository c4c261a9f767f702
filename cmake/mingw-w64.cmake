# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model, so std::thread and
# std::mutex exist). The runtime libraries are linked statically: the .exe needs nothing beside
# itself on a bare Windows. Executables run under Wine when CMake or CTest has to start them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KCS_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KCS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KCS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KCS_MINGW_PREFIX}-windres)

# Look for headers and libraries only in the cross sysroot; programs come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KCS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libstdc++, libgcc and winpthread linked into the executable instead of shipped as DLLs. No link
# time in the PE header: the same source links to the same bytes (ld inserts it by default).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

# Windows 10 API level: GetSystemTimePreciseAsFileTime and friends.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00)

# CTest and gtest discovery start the test executables through Wine with a prefix private to
# this build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
