# Second cross toolchain: clang and lld for the same MinGW-w64 target, on the MinGW-w64
# headers and libraries of Debian's g++-mingw-w64-x86-64-posix (the first toolchain's).
# Clang 14 does not take GCC's library folder "12-posix" for a GCC version, so the C++
# headers, GCC's libraries and winpthreads (which GCC's posix flavour links by itself) are
# named here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KM_MINGW_SYSROOT /usr/x86_64-w64-mingw32)
file(GLOB KM_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
list(GET KM_MINGW_GCC_DIRS 0 KM_MINGW_GCC_DIR)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-windows-gnu)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-windows-gnu)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_SYSROOT ${KM_MINGW_SYSROOT})

set(CMAKE_CXX_FLAGS_INIT "-isystem ${KM_MINGW_GCC_DIR}/include/c++ -isystem ${KM_MINGW_GCC_DIR}/include/c++/x86_64-w64-mingw32 -isystem ${KM_MINGW_GCC_DIR}/include/c++/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${KM_MINGW_GCC_DIR}")
set(CMAKE_C_STANDARD_LIBRARIES "-Wl,-Bstatic -lpthread")
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,-Bstatic -lpthread")

set(CMAKE_FIND_ROOT_PATH ${KM_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
