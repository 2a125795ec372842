# Writes OUT: a C++ file holding the bytes of RES as the program's module.
file(READ ${RES} hex HEX)
string(LENGTH "${hex}" len)
math(EXPR size "${len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT} "// Generated from ${NAME}.res; do not edit.\n#include \"wince/host.h\"\n\nalignas(4) static const unsigned char kResources[${size}] = {\n${bytes}\n};\n\nextern \"C\" const wince::ModuleResources wince_program_module = {kResources, sizeof kResources, \"${NAME}\"};\n")
