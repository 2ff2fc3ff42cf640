# Cross toolchain for the portable wheels: zig's clang and libc++, aimed at a
# glibc version, so that the module runs on every Linux system with that
# glibc or newer, whatever compiler and C++ runtime the system has.
#
#   QUORL_ZIG          the zig executable (environment or cache variable)
#   QUORL_ZIG_TARGET   e.g. x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17
#
# CMake wants a compiler to be one program, so the configure step writes
# small wrappers that call `zig c++` (and `zig ar`, `zig ranlib`) with the
# target, into the build tree. Try-compile projects read this file again,
# with the same environment.
foreach(var QUORL_ZIG QUORL_ZIG_TARGET)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  endif()
  if(NOT ${var})
    message(FATAL_ERROR "zig-toolchain.cmake needs ${var}")
  endif()
  # Try-compile projects see the environment, not the cache.
  set(ENV{${var}} "${${var}}")
  set(${var} "${${var}}" CACHE STRING "" FORCE)
endforeach()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORL_ZIG QUORL_ZIG_TARGET)

string(REGEX MATCH "^[^-]+" quorl_zig_arch "${QUORL_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${quorl_zig_arch}")
if(NOT quorl_zig_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_CROSSCOMPILING ON)
endif()

set(quorl_zig_wrappers "${CMAKE_BINARY_DIR}/zig-${QUORL_ZIG_TARGET}")
foreach(tool "c++" "ar" "ranlib")
  set(args "${tool}")
  if(tool STREQUAL "c++")
    set(args "c++ -target ${QUORL_ZIG_TARGET}")
  endif()
  file(WRITE "${quorl_zig_wrappers}/${tool}" "#!/bin/sh\nexec \"${QUORL_ZIG}\" ${args} \"$@\"\n")
  file(CHMOD "${quorl_zig_wrappers}/${tool}"
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${quorl_zig_wrappers}/c++")
set(CMAKE_AR "${quorl_zig_wrappers}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${quorl_zig_wrappers}/ranlib" CACHE FILEPATH "" FORCE)
set(CMAKE_CXX_COMPILER_AR "${quorl_zig_wrappers}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_CXX_COMPILER_RANLIB "${quorl_zig_wrappers}/ranlib" CACHE FILEPATH "" FORCE)

# Python 3.8's headers include <crypt.h>, which zig's glibc headers lack.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR}/zig-include")
set(QUORL_ZIG_TOOLCHAIN ON)
