# Cross-builds the Windows ARM64 console program with Zig's clang, libc++
# and mingw-w64 (aarch64-windows-gnu), which scripts/zig-toolchain.sh
# installs from a pinned npm package on first use:
#   cmake -S . -B build-windows-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/zig-aarch64-windows.cmake
# volquill.exe is static and imports only KERNEL32, bcrypt and the Universal
# C Runtime (api-ms-win-crt-*), which every Windows 10 and 11 has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/zig-toolchain.sh
                OUTPUT_VARIABLE VOLQUILL_ZIG_BIN OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE VOLQUILL_ZIG_RESULT)
if(NOT VOLQUILL_ZIG_RESULT EQUAL 0)
  message(FATAL_ERROR "the Zig compiler could not be installed (scripts/zig-toolchain.sh)")
endif()
set(CMAKE_CXX_COMPILER ${VOLQUILL_ZIG_BIN}/zig-c++)
set(CMAKE_AR ${VOLQUILL_ZIG_BIN}/zig-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${VOLQUILL_ZIG_BIN}/zig-ranlib CACHE FILEPATH "Ranlib")
# The linker strips the program (-s); the build machine's strip may not know
# ARM64 PE files, so cpack's strip step does nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-s")
set(CMAKE_STRIP /bin/true CACHE FILEPATH "Strip (the linker strips)")

# CMake 3.25 sets MINGW only for GNU compilers; Zig's clang targets the same
# runtime, and the build adds -municode (the wmain entry point) under it.
set(MINGW 1)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
