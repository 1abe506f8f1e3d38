# Cross-builds for the Linux target that CROSS_TRIPLE names as Debian's cross toolchains do
# (aarch64-linux-gnu, arm-linux-gnueabihf, riscv64-linux-gnu, i686-linux-gnu), with Debian's
# g++-TRIPLE, or for musl (x86_64-linux-musl) with Debian's musl-tools. The tests run a
# program for another processor under qemu-user, with the target's libraries from
# /usr/TRIPLE; a musl program runs as it is.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLE)
string(REGEX MATCH "^[^-]+" processor "${CROSS_TRIPLE}")
if(NOT processor)
  message(FATAL_ERROR "Set CROSS_TRIPLE to the target, for instance -DCROSS_TRIPLE=aarch64-linux-gnu.")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(CROSS_TRIPLE MATCHES "-musl$")
  # musl-tools has only the C driver, which compiles C++ too; the program needs none of the
  # C++ library, whose headers and archive are glibc's.
  set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-gcc -nostdinc++)
else()
  set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
endif()
# qemu-user names its i386 emulator qemu-i386, which here leaves every forked child
# spinning before its first output: an i686 build is not run.
if(NOT processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR AND NOT processor MATCHES "^i.86$")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${processor} -L /usr/${CROSS_TRIPLE})
endif()
