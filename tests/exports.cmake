# libController.so exports the controller library's calls and nothing of
# the stand-in or of the robot library it links, whose code is hidden:
#   cmake -DLIBRARY=libController.so -P exports.cmake
execute_process(COMMAND nm -D --defined-only "${LIBRARY}" OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm cannot read ${LIBRARY}")
endif()
# The functions it defines, by name.
string(REGEX MATCHALL "[0-9a-f]+ T [^\n]+" functions "${symbols}")
list(TRANSFORM functions REPLACE "^[0-9a-f]+ T " "")
list(SORT functions)
set(calls gps_enable robot_get_device robot_live robot_step servo_enable_position
          servo_get_position servo_set_position touch_sensor_enable)
if(NOT functions STREQUAL calls)
  message(FATAL_ERROR "libController.so defines the functions ${functions}, not ${calls}")
endif()
# Nothing of our namespaces, whatever its kind: a mangled name holds
# "5robot" or "7standin" for each of their names it uses.
string(REGEX MATCHALL "[^\n]*[^0-9\n](5robot|7standin)[0-9A-Z][^\n]*" ours "${symbols}")
if(ours)
  message(FATAL_ERROR "libController.so exports ${ours}")
endif()
