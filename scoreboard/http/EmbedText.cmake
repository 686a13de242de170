# Writes OUTPUT, a C++ file defining `std::string_view NAME()` (declared in
# HEADER) in namespace scoreboard that holds the bytes of INPUT: a file the
# server answers with, built into the program so that an installed server
# needs nothing beside it.
# Run as: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -DHEADER=... -P EmbedText.cmake
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUTPUT}.new"
  "// Made by EmbedText.cmake from ${INPUT}; edit that file instead.\n"
  "#include \"${HEADER}\"\n\n"
  "namespace scoreboard {\n\n"
  "namespace {\nconstexpr char kBytes[] = {${bytes}};\n}  // namespace\n\n"
  "std::string_view ${NAME}() { return {kBytes, sizeof kBytes}; }\n\n"
  "}  // namespace scoreboard\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
