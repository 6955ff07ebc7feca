# The x86-64 cross build with its tests, under 64-bit Wine: what a host that runs 32-bit code
# tests besides the 32-bit build (preset cross64; elsewhere preset cross is this build).
set(triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
