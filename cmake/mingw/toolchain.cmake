# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix
# thread model, which std::thread and std::mutex need), and running the
# results under Wine: ctest starts test programs through the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KQ_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KQ_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
find_program(KQ_WINE NAMES wine wine64)
if(KQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KQ_WINE})
endif()
