// A simulated switch from an inline topology, for the platform's own tests
// (no daemon on it); the test fails with the loader's error.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "mira/sim/topology.h"

namespace coiltest {

inline void loadSwitch(std::string_view topology) {
    std::string error;
    ASSERT_TRUE(mira::loadTopology(topology, "t.topo", &error)) << error;
}

}  // namespace coiltest
