# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix threads
# variant, so that std::thread and std::mutex are available).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DUXK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DUXK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DUXK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DUXK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DUXK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A stand-alone executable: the C++ runtime, libgcc and winpthread linked in.
# No link time in the file header: the same sources give the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
