# libController.so exports the calls the controller library's headers
# declare (the extern "C" blocks of HEADERS/*.h) and nothing of the
# stand-in or of the robot library it links, whose code is hidden:
#   cmake -DLIBRARY=libController.so -DHEADERS=body_model -P exports.cmake
execute_process(COMMAND nm -D --defined-only "${LIBRARY}" OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm cannot read ${LIBRARY}")
endif()
# The functions it defines, by name.
string(REGEX MATCHALL "[0-9a-f]+ T [^\n]+" functions "${symbols}")
list(TRANSFORM functions REPLACE "^[0-9a-f]+ T " "")
list(SORT functions)
# The calls the headers declare with C linkage.
set(calls)
file(GLOB headers "${HEADERS}/*.h")
foreach(header IN LISTS headers)
  file(READ "${header}" text)
  string(REGEX MATCHALL "extern \"C\" {[^}]*}" blocks "${text}")
  foreach(block IN LISTS blocks)
    string(REGEX MATCHALL "[ *][a-z_]+\\(" names "${block}")
    list(TRANSFORM names REPLACE "[ *(]" "")
    list(APPEND calls ${names})
  endforeach()
endforeach()
list(SORT calls)
if(NOT calls)
  message(FATAL_ERROR "no extern \"C\" calls found in ${HEADERS}")
endif()
if(NOT functions STREQUAL calls)
  message(FATAL_ERROR "libController.so defines the functions ${functions}, not ${calls}")
endif()
# Nothing of our namespaces, whatever its kind: a mangled name holds
# "5robot" or "7standin" for each of their names it uses.
string(REGEX MATCHALL "[^\n]*[^0-9\n](5robot|7standin)[0-9A-Z][^\n]*" ours "${symbols}")
if(ours)
  message(FATAL_ERROR "libController.so exports ${ours}")
endif()
