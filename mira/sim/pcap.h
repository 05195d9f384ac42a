// Capture of the switch's frames to a classic pcap file (link type
// Ethernet, 802.1Q tags kept, timestamps from the loop's clock), readable by
// the usual packet analysers. A frame is written when it leaves a captured
// port and again when it enters one, so a frame crossing a cable between two
// captured ports appears twice.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace mira {

// Starts capturing the given ports (port words; a trunk's word means its
// members) or, when the list is empty, every port, into a new file at path.
// Replaces a running capture. False, with the reason in *error, when the
// file cannot be created, it is a pipe that nobody reads (opening never
// waits), or a port is unknown. A record that cannot be written whole (a
// full disk, a pipe whose reader left or lags) ends the capture with a
// WARNING line.
bool startCapture(const std::string& path, const std::vector<uint32_t>& ports = {}, std::string* error = nullptr);
// Closes the file. Records are flushed as they are written, so the file is
// readable while the capture runs.
void stopCapture();
bool captureRunning();

}  // namespace mira
