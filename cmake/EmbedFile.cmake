# cmake -DINPUT=<file> -DOUTPUT=<cpp> -DSYMBOL=<name> -P EmbedFile.cmake
# Writes a C++ source that defines `std::string_view SYMBOL()` returning the file.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x..',){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; do not edit.
#include <string_view>
namespace {
const char kData[] = {
${bytes} 0};
}
namespace platform {
std::string_view ${SYMBOL}() { return std::string_view(kData, ${size}); }
}
")
