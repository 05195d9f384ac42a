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
#include <memory>
#include <string>
#include <string_view>

#include "mira/control/control_message.h"
#include "mira/core/control_reply_stream.h"

namespace mira::control {

Message errorReply(const std::string& why);
// The reply to one request frame. A walk's reply is made as it is read:
// its fields come in the order status, output (the steps' XML), then rc,
// result, records, message and stdout once the walk has ended.
std::unique_ptr<ReplyStream> startReply(uint32_t type, std::string_view payload, const std::string& runDir);
// The same reply, whole.
std::string answerRequest(uint32_t type, std::string_view payload, const std::string& runDir);

}  // namespace mira::control
