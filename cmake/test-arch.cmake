# The target of the builds whose tests run under Wine (presets cross and clang). The product is a
# 32-bit program and its tests run it under 32-bit Wine. A host whose kernel runs no 32-bit code
# (some virtual machines: every i386 program fails with "Exec format error") cannot have 32-bit
# Wine, and tools/setup.sh leaves it out there: the tests then run an x86-64 build of the same
# sources under 64-bit Wine. The release is always 32-bit (cmake/mingw.cmake on its own).
if(EXISTS /usr/lib/wine/wine)
  set(triple i686-w64-mingw32)
else()
  set(triple x86_64-w64-mingw32)
endif()
