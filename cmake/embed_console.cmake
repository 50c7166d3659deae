# Writes OUTPUT, a C++ file holding every file of the console folder WEB_DIR
# as bytes, with its content type and an entity tag, for server/console.cc.
# Run as a script (cmake -P) whenever a file of the folder changes.
file(GLOB files RELATIVE ${WEB_DIR} ${WEB_DIR}/*)
list(SORT files)
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS files)
  if(IS_DIRECTORY ${WEB_DIR}/${name})
    continue()
  endif()
  get_filename_component(ext ${name} LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "console file ${name}: no content type for \"${ext}\"")
  endif()
  file(READ ${WEB_DIR}/${name} hex HEX)
  file(SHA256 ${WEB_DIR}/${name} digest)
  string(SUBSTRING ${digest} 0 20 tag)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){20})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const char file_${index}[] = {\n    ${bytes}'\\0'};\n")
  string(APPEND table
    "      {\"${name}\", \"${type}\", \"\\\"${tag}\\\"\", {file_${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
set(text "// Generated from the console folder by cmake/embed_console.cmake; do not edit.
#include \"server/console.h\"

namespace vqflow {

namespace {

${arrays}
}  // namespace

const std::vector<ConsoleFile>& console_files() {
  static const std::vector<ConsoleFile> files = {
${table}  };
  return files;
}

}  // namespace vqflow
")
file(WRITE ${OUTPUT} "${text}")
