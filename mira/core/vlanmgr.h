// The VLAN manager's handler tables (connectToVlanMgr), kept by the core for
// every switch backend. A backend reports a change by calling
// notifyVlanMgr() with the slot's byte offset of vlanlib.h and a call for the
// handler; the handlers run through the loop, after the backend's call has
// returned, in the order of the reports.
#pragma once
#include <functional>

#include "vlanlib.h"

namespace mira::vlanmgr {

// Runs call(slot) for every registered table whose slot at byteOffset is set,
// now (the backend posts it to the loop itself when it needs to defer).
void forEachHandler(int byteOffset, const std::function<void(vlanMgrSlot_t)>& call);
// Typed form of forEachHandler.
template <class Handler, class Call>
void callHandlers(int byteOffset, const Call& call) {
    forEachHandler(byteOffset, [&](vlanMgrSlot_t slot) { call(reinterpret_cast<Handler>(slot)); });
}
// Forgets every registered table.
void clearTables();

}  // namespace mira::vlanmgr
