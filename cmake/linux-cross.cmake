# Cross-builds for the Linux target that CROSS_TRIPLE names as Debian's cross toolchains do
# (aarch64-linux-gnu, arm-linux-gnueabihf, riscv64-linux-gnu, i686-linux-gnu), with Debian's
# g++-TRIPLE. The tests run the program under qemu-user, with the target's libraries from
# /usr/TRIPLE.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLE)
string(REGEX MATCH "^[^-]+" processor "${CROSS_TRIPLE}")
if(NOT processor)
  message(FATAL_ERROR "Set CROSS_TRIPLE to the target, for instance -DCROSS_TRIPLE=aarch64-linux-gnu.")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${processor} -L /usr/${CROSS_TRIPLE})
