# Fails when any of FILES (a binary or an archive, "|" between them) calls
# getenv or secure_getenv, or has no symbols to look at (stripped): the
# tool reads no environment variable; only the test harness does, to fill
# the table of system calls.
#
#   cmake -DNM=nm "-DFILES=build/libpropslice_core.a|build/propslice" -P tests/reads_no_environment.cmake
cmake_minimum_required(VERSION 3.20)
string(REPLACE "|" ";" files "${FILES}")
foreach(file IN LISTS files)
  execute_process(COMMAND "${NM}" -C "${file}" OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} -C ${file} failed: ${status}")
  endif()
  if(NOT symbols MATCHES "sys::calls")
    message(FATAL_ERROR "${file} has no symbols to look at")
  endif()
  string(REPLACE "\n" ";" symbols "${symbols}")
  list(FILTER symbols INCLUDE REGEX "[ \t](secure_getenv|getenv)(@.*)?$")
  if(symbols)
    list(JOIN symbols "\n" symbols)
    message(FATAL_ERROR "${file} reads the environment:\n${symbols}")
  endif()
endforeach()
