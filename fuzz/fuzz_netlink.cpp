// rtnetlink buffers as the Linux backend reads them (dumps and
// notifications of links, bridge ports and multicast databases): applied to
// the kernel view, then the bridge model brought in line, once for a named
// bridge and once for every bridge. Each port the model keeps must be found
// again by its word, and each VLAN by its instance.
#include <cstddef>
#include <cstdint>

#include "mira/linux/bridge_model.h"
#include "mira/linux/kernel_view.h"

namespace {

void check(const mira::lnx::BridgeModel& model) {
    for (const auto& [word, port] : model.ports())
        if (model.port(word) != port.get() || port->word != word) __builtin_trap();
    for (const auto& [instance, vlan] : model.vlans())
        if (model.vlanByInstance(instance) != vlan.get()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mira::lnx::KernelView view;
    view.applyAll(data, size);
    view.takeGroupRemovals();
    mira::lnx::BridgeModel named({{"br0", 0}});
    mira::lnx::BridgeModel all;
    named.sync(view);
    all.sync(view);
    // The same buffer again, as a notification after the dump it followed.
    view.applyAll(data, size);
    named.sync(view);
    all.sync(view);
    check(named);
    check(all);
    return 0;
}
