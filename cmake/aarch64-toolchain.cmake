# Cross build for the Raspberry Pi's aarch64 Linux: Debian's cross compiler,
# tests run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries come from the cross C library and from Debian's arm64 packages
# (zlib1g-dev:arm64), which keep theirs in /usr/lib/aarch64-linux-gnu; their
# headers are in /usr/include, which the cross compiler searches last.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# qemu takes the loader and the C library from one prefix: both from Debian's
# arm64 C library when it is installed (it comes with zlib1g-dev:arm64), else
# both from the cross compiler's copy. Mixing releases breaks threads.
if(NOT ZELMO_QEMU_PREFIX)
  if(EXISTS /lib/ld-linux-aarch64.so.1)
    set(ZELMO_QEMU_PREFIX /)
  else()
    set(ZELMO_QEMU_PREFIX /usr/aarch64-linux-gnu)
  endif()
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;${ZELMO_QEMU_PREFIX})
