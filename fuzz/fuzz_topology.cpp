// Topology files: any text given to the loader either loads whole or is
// refused with a message that names the file and line.
#include <string>
#include <string_view>

#include "mira/sim/topology.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!mira::loadTopology(text, "fuzz.topo", &error) && error.rfind("fuzz.topo:", 0) != 0) __builtin_trap();
    return 0;
}
