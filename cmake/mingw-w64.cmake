# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads, as the Qt for Windows
# was built with). VELMORITH_WINDOWS_QT (cache or environment) is the unpacked Qt for Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT VELMORITH_WINDOWS_QT)
    set(VELMORITH_WINDOWS_QT "$ENV{VELMORITH_WINDOWS_QT}")
endif()
set(CMAKE_FIND_ROOT_PATH "${VELMORITH_WINDOWS_QT}" /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
