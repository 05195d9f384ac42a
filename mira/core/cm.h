// The stand-in configuration manager backend library: its own API for
// programs and tests (namespace mira). The platform's declarations are in
// src/platform/cmbackend.h.
//
// Buffers: a cmBuffer_t's text is either null (size 0) or a malloc block of
// `size` bytes; bufferPutf/bufferPuts grow it with realloc, never beyond
// kCmBufferMaxSize bytes (terminator included). A write that would pass the
// bound appends nothing and returns -1. Use CmBuffer (below) to own one.
//
// Nodes: an attribute node's value text (its record slot) belongs to whoever
// built the node; cmObjectFree never frees it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cmbackend.h"

namespace mira {

inline constexpr uint32_t kCmBufferMaxSize = 1u << 20;

// Owns the text of one buffer.
class CmBuffer {
public:
    CmBuffer() = default;
    ~CmBuffer();
    CmBuffer(const CmBuffer&) = delete;
    CmBuffer& operator=(const CmBuffer&) = delete;

    cmBuffer_t* get() { return &buf_; }
    std::string_view view() const;

private:
    cmBuffer_t buf_{};
};

// Owns a request context's two buffers. The walk slot's record is the
// caller's to free (its type is known only to the application).
class CmRequest {
public:
    CmRequest() = default;
    ~CmRequest();
    CmRequest(const CmRequest&) = delete;
    CmRequest& operator=(const CmRequest&) = delete;

    cmRequest_t* get() { return &req_; }
    cmRequest_t* operator->() { return &req_; }
    std::string output() const;
    std::string message() const;

private:
    cmRequest_t req_{};
};

// Frees the text of a buffer and leaves it empty.
void cmBufferRelease(cmBuffer_t* buffer);

// Renders one port list or port mask as %P and %M do.
std::string formatPortList(const PORTLIST_T* list);
std::string formatPortMask(PORTMASK_T mask);

// One recorded cmBackendSendMessage call.
struct CmSentMessage {
    int code, a, b, c;
};

// Backend client state seen by tests and by the request server.
cmEventCallback_t cmEventCallback();        // null until cmBackendInit
const std::string& cmClientName();          // process name given to cmBackendInit
const std::vector<CmSentMessage>& cmSentMessages();
void cmFailInit(bool fail);                 // cmBackendInit then returns 0
void resetCm();                             // forget callback, name, messages, failure
// Calls the stored event callback; -1 when none is stored.
int cmDeliverEvent(int event);

}  // namespace mira
