# Toolchain: Debian's mingw-w64 cross compiler for 64-bit Windows.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=windows/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TQV_MINGW x86_64-w64-mingw32)
# The win32 thread model first: the posix one would pull in libwinpthread-1.dll.
find_program(CMAKE_CXX_COMPILER NAMES ${TQV_MINGW}-g++-win32 ${TQV_MINGW}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TQV_MINGW}-windres)
find_program(TQV_DLLTOOL NAMES ${TQV_MINGW}-dlltool REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TQV_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
