# Fails the build when an object compiled for a vector instruction set defines a weak
# symbol: the linker keeps one copy of each, and if it kept this one, code on the
# portable path would run instructions the processor may lack.
execute_process(COMMAND ${NM} -A -C --defined-only ${ARCHIVE} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read ${ARCHIVE}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(bad "")
foreach(line IN LISTS lines)
  if(line MATCHES "_avx(2|512)\\.cpp\\.o: *[0-9a-f]* [WVu] ")
    string(APPEND bad "  ${line}\n")
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "vector objects define weak symbols; keep library code out of them:\n${bad}")
endif()
