// Small helpers for tests of the daemon on the harness's switch.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/coil.h"
#include "support/harness.h"

namespace coiltest {

// Gives each port link by cabling it to a spare port of slot 2 (2:3 up),
// which is in no VLAN of the test chassis, so nothing comes back.
void giveLink(std::initializer_list<uint32_t> ports);

// A client daemon's service (client type 1) as a Register makes it, left in INIT.
coilServiceNode* registerDaemonService(const char* clientId, uint32_t vlanIfInstance);
// A client daemon's service (client type 1), registered and started as a
// Register and a Start Poll would: continuous by default.
coilServiceNode* startDaemonService(const char* clientId, uint32_t vlanIfInstance, uint32_t interval,
                                    std::initializer_list<uint32_t> ports = {}, uint32_t pollType = COIL_POLL_PERIODIC,
                                    uint32_t count = 0);

// The service's PDU as a copy sent out of `egress` would come back.
std::vector<uint8_t> returningPdu(const coilServiceNode* sr, uint32_t egress);
// Hands the frame to the switch as arriving on `port` now; the daemon reads
// it at the next loop turn (drained before returning).
void arrive(uint32_t port, const std::vector<uint8_t>& frame);

// Egress port words of the PDUs in the frames, in order.
std::vector<uint32_t> egressPorts(const std::vector<Frame>& frames);

// True when the frame's encapsulation checksum equals a full computation.
bool checksumMatchesFullComputation(const std::vector<uint8_t>& frame);

}  // namespace coiltest
