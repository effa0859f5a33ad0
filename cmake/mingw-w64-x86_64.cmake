# Cross-compiling the station for 64-bit Windows with mingw-w64 (the posix thread model,
# so std::thread and std::mutex work). Programs are linked statically, so that one .exe
# runs on a station without the compiler's DLLs beside it. Test programs run through
# scripts/wine-run.sh, which starts them under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELMORA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELMORA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMORA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMORA_MINGW_PREFIX}-windres)
set(CMAKE_AR ${VELMORA_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VELMORA_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXECUTABLE_SUFFIX .exe)

# ctest and gtest_discover_tests run the test programs under Wine, in a Wine prefix of
# the build directory's own.
get_filename_component(VELMORA_TOOLCHAIN_DIR ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${VELMORA_TOOLCHAIN_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
