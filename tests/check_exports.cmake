# Fails unless the dynamic symbol table of LIB defines exactly the 26 tev* functions.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(functions "")
foreach(line ${lines})
  if(line MATCHES "^[0-9a-f]+ [TtWiI] (.+)$")
    list(APPEND functions ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT functions)
set(expected tevAbort tevAttach tevClose tevCommand tevDebug tevDecodeBuffer tevDeleteEmail tevDriver
  tevEncodeBuffer tevErrorText tevExtractLine tevExtractText tevGetEmailCount tevGetEmailFile tevGetEmailLines
  tevGetEmailSize tevGetEmailUID tevIntegerParam tevPop3Connect tevRelease tevSendEmail tevSmtpConnect
  tevStatistics tevStringParam tevVerifyFormat tevVerifyUser)
list(SORT expected)
if(NOT functions STREQUAL expected)
  message(FATAL_ERROR "exported functions differ:\n  got: ${functions}\n  want: ${expected}")
endif()
message(STATUS "26 tev* functions exported, nothing else")
