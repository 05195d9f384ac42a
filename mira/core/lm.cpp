// Library manager: groups of named libraries report ready (all loaded) or
// failed (one marked failed), once, through the loop.
#include "lm.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mira/core/core_internal.h"
#include "mira/core/loop.h"
#include "mira/core/platform.h"

namespace {

enum class LibState { Unknown, Loaded, Failed };

struct Group {
    std::vector<std::string> names;
    lmGroupCallback_t callback;
    void* context;
    bool reported = false;
};

struct Lm {
    std::map<std::string, LibState> libraries;
    std::map<lmGroupHandle_t, Group> groups;
    lmGroupHandle_t nextHandle = 1;
    bool failWatch = false;
};

Lm& lm() {
    static Lm instance;
    return instance;
}

LibState stateOf(const std::string& name) {
    auto it = lm().libraries.find(name);
    return it == lm().libraries.end() ? LibState::Unknown : it->second;
}

// Posts the report of every group whose outcome is known and not yet reported.
void evaluate() {
    for (auto& [handle, group] : lm().groups) {
        if (group.reported) continue;
        bool allLoaded = true, anyFailed = false;
        for (const std::string& name : group.names) {
            LibState s = stateOf(name);
            allLoaded &= s == LibState::Loaded;
            anyFailed |= s == LibState::Failed;
        }
        if (!allLoaded && !anyFailed) continue;
        group.reported = true;
        int code = anyFailed ? LM_GROUP_FAILED : LM_GROUP_READY;
        lmGroupHandle_t h = handle;
        mira::post([h, code] {
            auto it = lm().groups.find(h);
            if (it == lm().groups.end()) return;  // cancelled meanwhile
            it->second.callback(it->second.context, code, h);
        });
    }
}

void setLibrary(const std::string& name, LibState state) {
    lm().libraries[name] = state;
    evaluate();
}

}  // namespace

lmGroupHandle_t lmWatchGroup(char names[][LM_NAME_SIZE], int count, int, lmGroupCallback_t cb, void* context, int) {
    if (lm().failWatch || !cb || count < 0 || (count > 0 && !names)) return 0;
    Group group{{}, cb, context};
    for (int i = 0; i < count; ++i) group.names.emplace_back(names[i], strnlen(names[i], LM_NAME_SIZE));
    lmGroupHandle_t handle = lm().nextHandle++;
    lm().groups.emplace(handle, std::move(group));
    evaluate();
    return handle;
}

int lmCancelGroup(lmGroupHandle_t group) { return lm().groups.erase(group) ? 0 : -1; }

namespace mira {

void loadLibrary(const std::string& name) { setLibrary(name, LibState::Loaded); }
void failLibrary(const std::string& name) { setLibrary(name, LibState::Failed); }
void failLmWatch(bool fail) { lm().failWatch = fail; }

namespace core {
void resetLm() { lm() = Lm{}; }
}  // namespace core
}  // namespace mira
