# Writes OUTPUT, a C++ source that defines the character array whistle::NAME holding the text
# of INPUT. Run as: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P embed_text.cmake
file(READ "${INPUT}" text)
if(text MATCHES "\\)whistle_text\"")
  message(FATAL_ERROR "${INPUT} contains the raw-string delimiter.")
endif()
file(WRITE "${OUTPUT}.new"
  "// Generated from ${INPUT}.\nnamespace whistle {\nextern const char ${NAME}[];\n"
  "const char ${NAME}[] = R\"whistle_text(${text})whistle_text\";\n}  // namespace whistle\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
