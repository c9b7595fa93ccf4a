# Writes OUTPUT, a C++ source defining tavmerk::explorer::page_files (see
# explorer/page_files.h) with the bytes of each file in FILES (a list
# separated by "|"). Run as: cmake -DOUTPUT=... -DFILES=... -P embed_files.cmake
string(REPLACE "|" ";" files "${FILES}")
set(arrays "")
set(table "")
set(index 0)
foreach(file IN LISTS files)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  get_filename_component(name "${file}" NAME)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(APPEND arrays "const unsigned char file_${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", file_${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by cmake/embed_files.cmake from explorer/page/: do not edit.
#include \"explorer/page_files.h\"

namespace tavmerk::explorer {

namespace {

${arrays}
}  // namespace

const PageFile page_files[] = {
${table}};
const size_t page_file_count = ${index};

}  // namespace tavmerk::explorer
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
