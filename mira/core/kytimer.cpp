// Timer service: whole-second timers of one context, fired by kyProcTimer.
// A binary min-heap ordered by (due tick, creation order) with each timer's
// heap position kept in its slot gives O(log n) create, delete and expiry.
// Handles carry the slot's generation, so a stale handle never hits a
// reused slot.
#include "kytimer.h"

#include <map>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kNotInHeap = UINT32_MAX;

struct Slot {
    kyTimerFn_t fn = nullptr;
    void* arg = nullptr;
    uint64_t due = 0;
    uint32_t period = 0;  // 0: one-shot
    uint64_t order = 0;   // creation order, the tie-break
    uint32_t heapPos = kNotInHeap;
    uint32_t generation = 1;
    bool live = false;
};

struct Timers {
    std::vector<Slot> slots;
    std::vector<uint32_t> freeSlots;
    std::vector<uint32_t> heap;  // slot indexes
    uint64_t nextOrder = 1;

    bool before(uint32_t a, uint32_t b) const {
        const Slot& x = slots[a];
        const Slot& y = slots[b];
        return x.due != y.due ? x.due < y.due : x.order < y.order;
    }

    void place(uint32_t pos, uint32_t slot) {
        heap[pos] = slot;
        slots[slot].heapPos = pos;
    }

    void siftUp(uint32_t pos) {
        uint32_t slot = heap[pos];
        while (pos > 0) {
            uint32_t parent = (pos - 1) / 2;
            if (!before(slot, heap[parent])) break;
            place(pos, heap[parent]);
            pos = parent;
        }
        place(pos, slot);
    }

    void siftDown(uint32_t pos) {
        uint32_t slot = heap[pos];
        uint32_t n = uint32_t(heap.size());
        for (;;) {
            uint32_t child = 2 * pos + 1;
            if (child >= n) break;
            if (child + 1 < n && before(heap[child + 1], heap[child])) ++child;
            if (!before(heap[child], slot)) break;
            place(pos, heap[child]);
            pos = child;
        }
        place(pos, slot);
    }

    void push(uint32_t slot) {
        heap.push_back(slot);
        siftUp(uint32_t(heap.size() - 1));
    }

    void erase(uint32_t slot) {
        uint32_t pos = slots[slot].heapPos;
        if (pos == kNotInHeap) return;
        slots[slot].heapPos = kNotInHeap;
        uint32_t last = heap.back();
        heap.pop_back();
        if (pos == heap.size()) return;
        place(pos, last);
        if (pos > 0 && before(last, heap[(pos - 1) / 2]))
            siftUp(pos);
        else
            siftDown(pos);
    }

    void release(uint32_t slot) {
        Slot& s = slots[slot];
        s.live = false;
        s.fn = nullptr;
        ++s.generation;
        if (s.generation == 0) s.generation = 1;
        freeSlots.push_back(slot);
    }

    // The slot of a live handle, or -1.
    int64_t find(kyTimerHandle_t handle) const {
        uint64_t index = (handle & 0xffffffffu);
        uint32_t generation = uint32_t(handle >> 32);
        if (index == 0 || index > slots.size()) return -1;
        const Slot& s = slots[index - 1];
        if (!s.live || s.generation != generation) return -1;
        return int64_t(index - 1);
    }
};

// One implementation per context record; re-initialising a context (whose
// record was zeroed) replaces its implementation instead of leaking it.
std::map<kyTimerCtx_t*, std::unique_ptr<Timers>>& contexts() {
    static std::map<kyTimerCtx_t*, std::unique_ptr<Timers>> all;
    return all;
}

// The context's implementation, checked against the registry so that a
// context left over from before a platform reset is refused, not followed.
Timers* timersOf(kyTimerCtx_t* ctx) {
    if (!ctx) return nullptr;
    auto it = contexts().find(ctx);
    if (it == contexts().end() || it->second.get() != ctx->impl) return nullptr;
    return it->second.get();
}

}  // namespace

int kyTimerInit(kyTimerCtx_t* ctx, int, int) {
    if (!ctx) return -1;
    auto& slot = contexts()[ctx];
    slot = std::make_unique<Timers>();
    ctx->impl = slot.get();
    ctx->ticks = 0;
    return 0;
}

kyTimerHandle_t kyTimerCreate(kyTimerFn_t fn, void* arg, uint32_t seconds, int kind, kyTimerCtx_t* ctx) {
    Timers* t = timersOf(ctx);
    if (!t || !fn || (kind != KY_TIMER_ONESHOT && kind != KY_TIMER_PERIODIC)) return 0;
    if (seconds == 0) seconds = 1;  // the current tick has already run
    uint32_t index;
    if (!t->freeSlots.empty()) {
        index = t->freeSlots.back();
        t->freeSlots.pop_back();
    } else {
        index = uint32_t(t->slots.size());
        t->slots.emplace_back();
    }
    Slot& s = t->slots[index];
    s.fn = fn;
    s.arg = arg;
    s.due = ctx->ticks + seconds;
    s.period = kind == KY_TIMER_PERIODIC ? seconds : 0;
    s.order = t->nextOrder++;
    s.live = true;
    t->push(index);
    return (kyTimerHandle_t(s.generation) << 32) | (index + 1u);
}

int kyTimerDelete(kyTimerHandle_t handle, kyTimerCtx_t* ctx) {
    Timers* t = timersOf(ctx);
    if (!t) return -1;
    int64_t slot = t->find(handle);
    if (slot < 0) return -1;  // stale or foreign: harmless
    t->erase(uint32_t(slot));
    t->release(uint32_t(slot));
    return 0;
}

int kyProcTimer(kyTimerCtx_t* ctx) {
    Timers* t = timersOf(ctx);
    if (!t) return -1;
    uint64_t now = ++ctx->ticks;
    while (!t->heap.empty()) {
        uint32_t index = t->heap.front();
        Slot& s = t->slots[index];
        if (s.due > now) break;
        kyTimerFn_t fn = s.fn;
        void* arg = s.arg;
        if (s.period > 0) {
            // Re-armed before the expiry, which may delete it; the root sinks
            // to its place (cheaper than taking it out and pushing it again).
            s.due += s.period;
            t->siftDown(0);
        } else {
            t->erase(index);
            t->release(index);  // its handle is stale from here on
        }
        fn(arg);  // may create and delete timers; `s` may be invalid now
    }
    return 0;
}

namespace mira::core {
void resetTimers() { contexts().clear(); }
}  // namespace mira::core
