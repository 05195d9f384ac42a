// Loading a switch topology (the text format of docs/topology.md).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace mira {

// Parses a topology and, when all of it is valid, replaces the switch model
// with it, sets the platform's slot numbering (dmConfig.slotCount,
// slotFirst) and the system MAC. On the first error returns false with
// "<fileName>:<line>: <what is wrong>" in *error and changes nothing.
// Records of the previous model become invalid on success.
bool loadTopology(std::string_view text, const std::string& fileName, std::string* error);
// A file larger than this is refused (read no further than that: a device
// such as /dev/zero never ends).
inline constexpr size_t kTopologyMaxBytes = size_t{1} << 20;
bool loadTopologyFile(const std::string& path, std::string* error);
// The example chassis compiled into the program (examples/chassis.topo).
bool loadExampleTopology(std::string* error);

}  // namespace mira

// Generated from examples/chassis.topo by the build.
extern const char mira_example_topology[];
extern const std::size_t mira_example_topology_len;
