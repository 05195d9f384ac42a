# Turns a text file into a C++ source defining `mira_example_topology`.
file(READ ${IN} CONTENT HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," BYTES "${CONTENT}")
file(WRITE ${OUT} "// Generated from ${IN}; do not edit.\n#include <cstddef>\nextern const char mira_example_topology[] = {${BYTES} 0x00};\nextern const std::size_t mira_example_topology_len = sizeof(mira_example_topology) - 1;\n")
