# The walker's shell, a library beside its control loop: the commands and
# their refusals, the script, the console thread and the terminal's keys,
# and the printing thread that says what the walker does. It calls none of
# the controller library's operations from its own threads.
find_package(Threads REQUIRED)
add_library(walker_shell STATIC commands.cpp script.cpp console.cpp terminal.cpp say.cpp
                                shell.cpp)
target_include_directories(walker_shell PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
# The stand-in's own calls are looked up when the walker runs (dlsym).
target_link_libraries(walker_shell PUBLIC walker_lib body_model Threads::Threads ${CMAKE_DL_LIBS})
