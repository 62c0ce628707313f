# Cross-compiling the Windows build with Debian's mingw-w64 (posix thread
# model, so std::thread and std::mutex work): make windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(tavrelle_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${tavrelle_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tavrelle_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${tavrelle_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${tavrelle_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
