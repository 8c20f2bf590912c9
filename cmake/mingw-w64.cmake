# Cross-build for 64-bit Windows with mingw-w64 (the posix-thread variant,
# which has std::mutex for GoogleTest); test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# One self-contained .exe each: no mingw runtime DLLs to find under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(KORVID_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KORVID_WINE NAMES wine64 wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVID_WINE})
