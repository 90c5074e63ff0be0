# Turns a file into a C++ source holding its bytes, for a model that lives
# inside a library or a tool:
#   cmake -DINPUT=robot.xml -DOUTPUT=robot_model.cpp [-DNAMESPACE=standin] -P embed.cmake
# The source defines NAMESPACE::kRobotModelXml and NAMESPACE::kRobotModelSize.
if(NOT DEFINED NAMESPACE)
  set(NAMESPACE standin)
endif()
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," chars "${bytes}")
file(WRITE "${OUTPUT}"
  "// Generated from robot.xml at build time; edit that file instead.\n"
  "#include <cstddef>\n"
  "namespace ${NAMESPACE} {\n"
  "extern const char kRobotModelXml[];\n"
  "extern const std::size_t kRobotModelSize;\n"
  "const char kRobotModelXml[] = {${chars}};\n"
  "const std::size_t kRobotModelSize = ${size};\n"
  "}  // namespace ${NAMESPACE}\n")
