# Fails when the tool's symbols name a seam or a hook of the tests (see
# tests/CMakeLists.txt: only propslice_seamed and the test programs hold
# them), or when there are no symbols to look at (a stripped binary).
#
#   cmake -DNM=nm -DTOOL=build/propslice -P tests/holds_no_seams.cmake
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND "${NM}" -C "${TOOL}" OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} -C ${TOOL} failed: ${status}")
endif()
if(NOT symbols MATCHES "platform::memory_limit")
  message(FATAL_ERROR "${TOOL} has no symbols to look at")
endif()
string(REPLACE "\n" ";" symbols "${symbols}")
# The runtimes linked into the tool have hooks of their own: libgcc's
# unwinder (_Unwind_DebugHook, for debuggers) where it is linked statically,
# and the sanitizers' in sanitized builds.
list(FILTER symbols EXCLUDE REGEX "_Unwind_DebugHook|__(sanitizer|asan|lsan|tsan|ubsan|interception|interceptor)")
list(FILTER symbols INCLUDE REGEX "[Ss][Ee][Aa][Mm]|[Hh][Oo][Oo][Kk]")
if(symbols)
  list(JOIN symbols "\n" symbols)
  message(FATAL_ERROR "${TOOL} holds test code:\n${symbols}")
endif()
