# Turns a text file into a C++ source holding it as one string (cmake -P):
#   -DINPUT=file.sql -DOUTPUT=file.cpp -DNAMESPACE=omr::exam -DNAME=kSchemaText
# The output is replaced only when it changes.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Lines of 16 bytes keep the source readable to tools.
string(REGEX REPLACE "(('[^']+',){16})" "\\1\n  " bytes "${bytes}")
get_filename_component(source "${INPUT}" NAME)
set(body "// Generated from ${source} by cmake/embed_text.cmake: do not edit.\n")
string(APPEND body "namespace ${NAMESPACE} {\n\nextern const char ${NAME}[];\nconst char ${NAME}[] = {\n  ${bytes}0};\n\n}  // namespace ${NAMESPACE}\n")
file(WRITE "${OUTPUT}.new" "${body}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
