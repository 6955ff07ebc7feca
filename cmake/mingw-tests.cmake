# The cross build with its tests: 32-bit like the release where this host runs 32-bit Wine.
include(${CMAKE_CURRENT_LIST_DIR}/test-arch.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
