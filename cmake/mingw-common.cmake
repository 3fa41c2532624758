# What the two Windows toolchain files share: Debian's mingw-w64 compilers of the posix threading
# model (std::thread needs it), a target root that holds only the Windows headers and libraries,
# and programs linked statically so that each .exe runs without the compiler's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Tests run through wine where it is installed (64-bit programs only on Debian's wine64).
find_program(MINGW_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(MINGW_WINE AND MINGW_TRIPLE STREQUAL "x86_64-w64-mingw32")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MINGW_WINE})
endif()
