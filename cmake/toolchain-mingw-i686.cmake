# Cross-builds the station for Windows (i686) with Debian's mingw-w64
# (the -posix compilers: std::thread needs the posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(QELVAR_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QELVAR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QELVAR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QELVAR_MINGW_TRIPLET}-windres)

# A Qt 6 built for this target, given as CMAKE_PREFIX_PATH, is searched too
# (with QT_HOST_PATH naming a host Qt of the same version for moc and uic).
set(CMAKE_FIND_ROOT_PATH /usr/${QELVAR_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A static runtime: the programs need no mingw DLLs beside them (zlib
# included: a station PC has no zlib1.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)
