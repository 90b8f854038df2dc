# Turns a schema file into a C++ source that holds its text, so the library
# never looks for schema files at run time.
# cmake -DINPUT=file.xsd -DOUTPUT=file.cpp -DSYMBOL=name -P embed.cmake
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${name} at build time; do not edit.\n"
  "#include <cstddef>\n"
  "namespace monvalidate::schemas {\n"
  "extern const char ${SYMBOL}[];\n"
  "extern const std::size_t ${SYMBOL}Size;\n"
  "const char ${SYMBOL}[] = {\n    ${bytes}0};\n"
  "const std::size_t ${SYMBOL}Size = sizeof ${SYMBOL} - 1;\n"
  "}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
