# The same program as a 64-bit Windows exe, built with MinGW-w64 (Debian
# package g++-mingw-w64-x86-64) only to run the Windows tests under 64-bit
# Wine on machines that cannot run 32-bit programs. The product is 32-bit.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
