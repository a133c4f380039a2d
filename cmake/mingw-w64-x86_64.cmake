# Cross build for 64-bit Windows with Debian's mingw-w64, POSIX thread model (std::thread,
# std::mutex and std::condition_variable need it). Every program is linked statically so that
# each .exe runs alone, with no DLLs beside it. Programs built here run under Wine
# (scripts/wine-run.sh, set as the emulator in the top-level CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_ASM_COMPILER ${TARVEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_RC_COMPILER ${TARVEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
