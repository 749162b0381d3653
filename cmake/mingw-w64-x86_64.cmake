# Cross build for Windows x86-64 with mingw-w64; every test runs under Wine
# through tools/winrun.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# The posix thread model: GoogleTest needs std::mutex. Everything links
# statically, so no winpthread DLL is imported.
find_program(CMAKE_C_COMPILER NAMES x86_64-w64-mingw32-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES x86_64-w64-mingw32-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES x86_64-w64-mingw32-windres REQUIRED)
find_program(KESTAL_WINRUN NAMES winrun PATHS "${CMAKE_CURRENT_LIST_DIR}/../tools" NO_DEFAULT_PATH REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KESTAL_WINRUN}")

# Target libraries come from the mingw sysroot and from the prefixes on
# CMAKE_PREFIX_PATH (tools/setup installs yyjson and GoogleTest there);
# host programs come from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
