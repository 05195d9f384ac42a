// Answers the requests that arrive on the control socket. Reply fields:
//   status=ok|error     error: the request could not be carried out
//   error=TEXT          why (status=error)
// and, by request type:
//   cm:   rc, result (the request's result word), records, message (the
//         daemon's message buffer), output (the XML), stdout (what the daemon
//         printed on its standard output meanwhile)
//   save: path, records
//   lab:  message (what was done), output (XML records of `lab ports`)
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "mira/control/control_message.h"

namespace mira::control {

Message errorReply(const std::string& why);
// The reply payload for one request frame.
std::string answerRequest(uint32_t type, std::string_view payload, const std::string& runDir);

}  // namespace mira::control
