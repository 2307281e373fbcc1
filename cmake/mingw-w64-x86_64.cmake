# Cross-building the Windows program on Linux with mingw-w64 (64 bit, the
# posix thread model so std::thread and its friends work), linked statically
# so zl27t.exe needs no DLL beside it. Programs built here run under wine.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZL27T_MINGW_PREFIX x86_64-w64-mingw32)

find_program(CMAKE_CXX_COMPILER NAMES ${ZL27T_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${ZL27T_MINGW_PREFIX}-gcc-posix)
find_program(CMAKE_RC_COMPILER NAMES ${ZL27T_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZL27T_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest and gtest_discover_tests run the test programs through wine, in a
# wine prefix of the build's own (never the user's ~/.wine), with no X
# display and without wine's messages.
find_program(ZL27T_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env --unset=DISPLAY WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
    WINEDEBUG=-all ${ZL27T_WINE})
