// Requests of the control socket, run on the loop's thread.
#include "mira/core/control_dispatch.h"

#include <algorithm>

#include "cmbackend.h"
#include "mira/core/cmmgr.h"
#include "mira/control/control_frame.h"
#include "mira/control/control_request.h"
#include "mira/core/control_listing.h"
#include "mira/core/control_stdout.h"
#include "mira/core/platform.h"
#include "mira/core/saved_config.h"
#include "mira/core/switch_backend.h"
#include "mira/control/control_text.h"

namespace mira::control {

namespace {

// A walk's reply, a piece of steps at a time.
class WalkReply : public ReplyStream {
public:
    bool begin(const CmSpec& spec, std::string* error) {
        return walker_.begin(spec.object, spec.attrs, spec.flags & ~CM_FLAG_WALK, error);
    }
    bool next(std::string* out, size_t budget) override {
        const size_t start = out->size();
        if (!started_) *out += "status=ok\noutput=";
        started_ = true;
        bool more = true;
        const std::string printed = captureStdout([&] {
            for (std::string xml; out->size() - start < budget;) {
                if (!(more = walker_.step(&xml))) break;
                appendEscaped(out, xml);
            }
        });
        if (printed_.size() < kMaxCapturedStdout)
            printed_.append(printed, 0, std::min(printed.size(), kMaxCapturedStdout - printed_.size()));
        if (more) return true;
        const CmResult& r = walker_.result();
        Message tail;
        tail.add("rc", std::to_string(r.rc))
            .add("result", std::to_string(r.result))
            .add("records", std::to_string(r.records))
            .add("message", r.message)
            .add("stdout", printed_);
        *out += "\n" + encodeMessage(tail);
        return false;
    }

private:
    CmWalker walker_;
    std::string printed_;
    bool started_ = false;
};

Message answerCm(const CmSpec& spec) {
    CmResult result;
    std::string printed = captureStdout([&] { result = cmRun(spec.method, spec.object, spec.attrs, spec.flags); });
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
    // The saved configuration lives in the state directory when there is one.
    const std::string path = savedConfigPath(mira::stateDir().empty() ? runDir : mira::stateDir());
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

std::unique_ptr<ReplyStream> startReply(uint32_t type, std::string_view payload, const std::string& runDir) {
    auto whole = [](const Message& reply) { return wholeReply(encodeMessage(reply)); };
    Message request;
    std::string error;
    if (!parseMessage(payload, &request, &error)) return whole(errorReply("malformed request: " + error));
    switch (type) {
        case kTypeCm:
        {
            CmSpec spec;
            if (!decodeCmSpec(request, &spec, &error)) return whole(errorReply(error));
            if (!(spec.flags & CM_FLAG_WALK)) return whole(answerCm(spec));
            auto walk = std::make_unique<WalkReply>();
            if (!walk->begin(spec, &error)) return whole(errorReply(error));
            return walk;
        }
        case kTypeSave: return whole(answerSave(request, runDir));
        case kTypeLab: return whole(answerLab(request));
        case kTypeShow: return whole(answerShow(request));
        default: return whole(errorReply("unknown request type " + std::to_string(type)));
    }
}

std::string answerRequest(uint32_t type, std::string_view payload, const std::string& runDir) {
    return drainReply(*startReply(type, payload, runDir), size_t{64} * 1024);
}

}  // namespace mira::control
