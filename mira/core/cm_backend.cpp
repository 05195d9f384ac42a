// The backend client's connection to the configuration manager and the
// library's node allocation. The request server that parses the manager's
// requests builds on the state kept here.
#include <cstdlib>
#include <string>
#include <vector>

#include "cmbackend.h"
#include "mira/core/cm.h"

namespace mira {
namespace {

struct CmClient {
    cmEventCallback_t callback = nullptr;
    std::string name;
    std::vector<CmSentMessage> sent;
    bool failInit = false;
};

CmClient& client() {
    static CmClient state;
    return state;
}

}  // namespace

cmEventCallback_t cmEventCallback() { return client().callback; }
const std::string& cmClientName() { return client().name; }
const std::vector<CmSentMessage>& cmSentMessages() { return client().sent; }
void cmFailInit(bool fail) { client().failInit = fail; }
void resetCm() { client() = CmClient{}; }

int cmDeliverEvent(int event) {
    cmEventCallback_t callback = client().callback;
    return callback ? callback(event) : -1;
}

}  // namespace mira

int cmBackendInit(const char* processName, cmEventCallback_t cb) {
    mira::CmClient& state = mira::client();
    if (state.failInit) return 0;
    state.callback = cb;
    state.name = processName ? processName : "";
    return 1;
}

int cmBackendSendMessage(int code, int a, int b, int c) {
    mira::client().sent.push_back({code, a, b, c});
    return 0;
}

cmObject_t* cmObject_t_alloc(void) { return static_cast<cmObject_t*>(std::calloc(1, sizeof(cmObject_t))); }

void cmObject_t_free(cmObject_t* node) { std::free(node); }
