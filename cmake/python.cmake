# Finds the CPython the extension is built for: the QUORL_PYTHON variable (or
# environment variable), then pyenv's 3.8.18, then python3.8 on PATH. Under
# pip (scikit-build-core sets SKBUILD) it is the interpreter doing the install.
#
# A cross build (scripts/wheels.sh, for an interpreter that cannot run here)
# names the interpreter's headers and extension suffix instead:
#   QUORL_PYTHON_INCLUDE      the folder holding Python.h and a pyconfig.h of the target
#   QUORL_PYTHON_EXT_SUFFIX   e.g. .cpython-314-aarch64-linux-gnu.so
if(QUORL_PYTHON_INCLUDE AND QUORL_PYTHON_EXT_SUFFIX)
  if(NOT EXISTS "${QUORL_PYTHON_INCLUDE}/Python.h")
    message(FATAL_ERROR "QUORL_PYTHON_INCLUDE=${QUORL_PYTHON_INCLUDE} holds no Python.h")
  endif()
  message(STATUS "Python headers: ${QUORL_PYTHON_INCLUDE} (${QUORL_PYTHON_EXT_SUFFIX})")
  return()
endif()

set(QUORL_PYTHON "$ENV{QUORL_PYTHON}" CACHE FILEPATH "Python interpreter the extension is built for")
if(SKBUILD AND Python_EXECUTABLE)
  set(QUORL_PYTHON "${Python_EXECUTABLE}" CACHE FILEPATH "" FORCE)
endif()
if(NOT QUORL_PYTHON)
  find_program(QUORL_PYENV pyenv)
  if(QUORL_PYENV)
    execute_process(COMMAND ${QUORL_PYENV} prefix 3.8.18
      OUTPUT_VARIABLE quorl_pyenv_prefix OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE quorl_pyenv_status ERROR_QUIET)
    if(quorl_pyenv_status EQUAL 0 AND EXISTS "${quorl_pyenv_prefix}/bin/python3.8")
      set(QUORL_PYTHON "${quorl_pyenv_prefix}/bin/python3.8" CACHE FILEPATH "" FORCE)
    endif()
  endif()
endif()
if(NOT QUORL_PYTHON)
  find_program(quorl_python38 python3.8)
  if(quorl_python38)
    set(QUORL_PYTHON "${quorl_python38}" CACHE FILEPATH "" FORCE)
  endif()
endif()
if(NOT QUORL_PYTHON)
  message(FATAL_ERROR "No Python interpreter found: set QUORL_PYTHON, install 3.8.18 with pyenv, or put python3.8 on PATH")
endif()

execute_process(
  COMMAND "${QUORL_PYTHON}" -c "import sysconfig; print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))"
  OUTPUT_VARIABLE quorl_python_info OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE quorl_python_status)
if(NOT quorl_python_status EQUAL 0)
  message(FATAL_ERROR "Could not query ${QUORL_PYTHON}")
endif()
string(REPLACE "\n" ";" quorl_python_info "${quorl_python_info}")
list(GET quorl_python_info 0 QUORL_PYTHON_INCLUDE)
list(GET quorl_python_info 1 QUORL_PYTHON_EXT_SUFFIX)
message(STATUS "Python: ${QUORL_PYTHON} (${QUORL_PYTHON_EXT_SUFFIX})")
