# Cross build for 64-bit Windows with mingw-w64. The -posix compilers are used because the
# default -win32 ones lack std::thread and std::mutex. Everything is linked statically, so
# the programs run on a bare Windows (or under Wine) without the compiler's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KIVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KIVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIVO_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KIVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Packages built for the target elsewhere (GoogleTest) are found through CMAKE_PREFIX_PATH.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine; KIVO_WINE names another launcher.
if(DEFINED ENV{KIVO_WINE})
    set(CMAKE_CROSSCOMPILING_EMULATOR $ENV{KIVO_WINE})
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
