# Writes a C++ header that holds files as string constants, so that a program carries them
# (PNG images as escaped bytes).
#   cmake -DOUTPUT=<header> -DNAMESPACE=<ns> -DFILES="<name>=<path>|..." -P EmbedFiles.cmake
string(REPLACE "|" ";" FILES "${FILES}")
set(delimiter "embedded_file")
set(text "// Generated at build time from the files named below; do not edit.\n#pragma once\n\n")
string(APPEND text "#include <string_view>\n\nnamespace ${NAMESPACE} {\n")
foreach(entry IN LISTS FILES)
  string(FIND "${entry}" "=" split)
  string(SUBSTRING "${entry}" 0 ${split} name)
  math(EXPR start "${split} + 1")
  string(SUBSTRING "${entry}" ${start} -1 path)
  get_filename_component(base "${path}" NAME)
  if(path MATCHES "\\.png$")
    # Images are bytes, not text: each one a \xNN escape, with the length given, since they
    # hold zeros.
    file(READ "${path}" contents HEX)
    string(REGEX REPLACE "(..)" "\\\\x\\1" escaped "${contents}")
    string(APPEND text "\n// ${base}\ninline constexpr char ${name}Bytes[] = \"${escaped}\";\n"
           "inline constexpr std::string_view ${name}{${name}Bytes, sizeof ${name}Bytes - 1};\n")
    continue()
  endif()
  file(READ "${path}" contents)
  string(FIND "${contents}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${path} holds the raw string delimiter )${delimiter}\"")
  endif()
  string(APPEND text "\n// ${base}\ninline constexpr std::string_view ${name} = R\"${delimiter}(${contents})${delimiter}\";\n")
endforeach()
string(APPEND text "\n}  // namespace ${NAMESPACE}\n")
# Rewritten only when it changes, so that nothing rebuilds for nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
