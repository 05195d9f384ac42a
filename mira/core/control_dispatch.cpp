// Requests of the control socket, run on the loop's thread.
#include "mira/core/control_dispatch.h"

#include "cmbackend.h"
#include "mira/core/cmmgr.h"
#include "mira/control/control_frame.h"
#include "mira/control/control_request.h"
#include "mira/core/control_stdout.h"
#include "mira/core/saved_config.h"
#include "mira/core/switch_backend.h"

namespace mira::control {

namespace {

Message answerCm(const Message& request) {
    CmSpec spec;
    std::string error;
    if (!decodeCmSpec(request, &spec, &error)) return errorReply(error);
    CmResult result;
    std::string printed = captureStdout([&] {
        if (spec.flags & CM_FLAG_WALK)
            result = cmWalk(spec.object, spec.attrs, spec.flags & ~CM_FLAG_WALK);
        else
            result = cmRun(spec.method, spec.object, spec.attrs, spec.flags);
    });
    if (result.rc == -1) return errorReply(result.message);
    Message reply;
    reply.add("status", "ok")
        .add("rc", std::to_string(result.rc))
        .add("result", std::to_string(result.result))
        .add("records", std::to_string(result.records))
        .add("message", result.message)
        .add("output", result.output)
        .add("stdout", printed);
    return reply;
}

Message answerSave(const Message& request, const std::string& runDir) {
    std::string error;
    if (!checkKeys(request, {}, &error)) return errorReply(error);
    const std::string path = savedConfigPath(runDir);
    int records = 0;
    if (!saveConfig(path, &records, &error)) return errorReply("save failed: " + error);
    Message reply;
    reply.add("status", "ok").add("path", path).add("records", std::to_string(records));
    return reply;
}

Message answerLab(const Message& request) {
    std::string error;
    if (!checkKeys(request, {"arg"}, &error)) return errorReply(error);
    LabResult result = activeSwitch().labCommand(request.all("arg"));
    if (!result.ok) return errorReply(result.error);
    Message reply;
    reply.add("status", "ok").add("message", result.text).add("output", result.xml);
    return reply;
}

}  // namespace

Message errorReply(const std::string& why) {
    Message reply;
    reply.add("status", "error").add("error", why);
    return reply;
}

std::string answerRequest(uint32_t type, std::string_view payload, const std::string& runDir) {
    Message request;
    std::string error;
    if (!parseMessage(payload, &request, &error)) return encodeMessage(errorReply("malformed request: " + error));
    switch (type) {
        case kTypeCm: return encodeMessage(answerCm(request));
        case kTypeSave: return encodeMessage(answerSave(request, runDir));
        case kTypeLab: return encodeMessage(answerLab(request));
        default: return encodeMessage(errorReply("unknown request type " + std::to_string(type)));
    }
}

}  // namespace mira::control
