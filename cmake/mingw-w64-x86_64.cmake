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

# tools/setup installs yyjson and GoogleTest for the target into the work
# folder: $KESTAL_WORK/deps/mingw, or .work/deps/mingw in the checkout where
# KESTAL_WORK is not set. The first configure keeps the folder in the cache,
# so that a rebuild started without KESTAL_WORK looks where it looked.
if(NOT KESTAL_DEPS_PREFIX)
  if(NOT "$ENV{KESTAL_WORK}" STREQUAL "")
    get_filename_component(kestal_work "$ENV{KESTAL_WORK}" ABSOLUTE)
  else()
    get_filename_component(kestal_work "${CMAKE_CURRENT_LIST_DIR}/../.work" ABSOLUTE)
  endif()
  set(KESTAL_DEPS_PREFIX "${kestal_work}/deps/mingw" CACHE PATH
    "Where tools/setup installed yyjson and GoogleTest for the target")
endif()
list(APPEND CMAKE_PREFIX_PATH "${KESTAL_DEPS_PREFIX}")

# Target libraries come from the mingw sysroot and from the prefixes on
# CMAKE_PREFIX_PATH; host programs come from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
