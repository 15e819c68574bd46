# Run after gui_tests is built: writes one ctest entry per window test
# function (gui_tests --list) into OUT, so that each is named on its own and
# can be run alone.
#   cmake -DBIN=<gui_tests> -DOUT=<file> -DTIMEOUT=<s> -P GuiTestList.cmake
execute_process(COMMAND ${BIN} --list OUTPUT_VARIABLE _list RESULT_VARIABLE _rc
                ENCODING UTF-8)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${BIN} --list failed: ${_rc}")
endif()
string(REPLACE "\n" ";" _names "${_list}")
set(_text "")
foreach(_name IN LISTS _names)
  if(_name STREQUAL "")
    continue()
  endif()
  string(APPEND _text "add_test([=[${_name}]=] [=[${BIN}]=] [=[${_name}]=])\n")
  string(APPEND _text "set_tests_properties([=[${_name}]=] PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT ${TIMEOUT} LABELS gui)\n")
endforeach()
file(WRITE ${OUT} "${_text}")
