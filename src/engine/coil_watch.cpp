// What the daemon tells the platform's watch service about a service.
#include "engine/coil.h"
#include "watch.h"

void coilWatch(uint32_t kind, const coilServiceNode* sr, uint32_t portWord, uint32_t egressWord, uint32_t hold) {
    const watchEvent_t event{kind,      sr->hdr.clientId, sr->target.vlan, sr->hdr.vlanIfInstance, sr->serviceId,
                             portWord,  egressWord,       hold};
    watchNotify(&event);
}
