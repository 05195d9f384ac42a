// Turning an operator's set on a coilServiceNode object into a service
// request: validation of its attributes, then configuration or removal.
#include <cstring>

#include "clients/coil_objdef.h"
#include "clients/coil_service.h"
#include "frame/coil_log.h"

[[maybe_unused]] static constexpr const char* coilUnit = "coil_cmbackend";

namespace {
bool present(const coilServiceNode_t* r, unsigned field) { return coilFieldPresent(r->bitmap, field); }
}  // namespace

int coilServiceNode_t_set(cmRequest_t* context, coilServiceNode_t* record) {
    coilServiceNode request{};
    if (!present(record, COIL_SN_CLIENT_IDENTIFIER) || !present(record, COIL_SN_VLAN_IF_INSTANCE)) return 1;
    const bool implied = (context->flags & CM_FLAG_IMPLIED_ROW_STATUS) != 0;

    auto copyKey = [&] {
        coilCopyText(request.hdr.clientId, sizeof request.hdr.clientId, record->clientIdentifier);
        if (present(record, COIL_SN_VLAN))
            coilCopyText(request.target.vlan, sizeof request.target.vlan, record->vlan);
    };

    switch (record->rowStatus) {
        case CM_ROW_ACTIVE:
        case CM_ROW_CREATE_AND_GO:
            break;
        case CM_ROW_DESTROY:
            copyKey();
            return unConfigCoilService(&request, context);
        default:
            bufferPutf(&context->message, "INVALID ACTION %d!", int(record->rowStatus));
            return 0;
    }

    // Client daemons' services are not restored from stored configuration.
    if (implied && std::strcmp(record->clientIdentifier, "1") != 0 && std::strcmp(record->clientIdentifier, "2") != 0)
        return 1;
    copyKey();
    coilTarget_t& t = request.target;
    if (present(record, COIL_SN_INTERVAL)) {
        t.timeout = record->interval;
        if (t.timeout == 0 || t.timeout > 600) {
            bufferPutf(&context->message, "ERROR: valid interval range (1..600)!");
            return 0;
        }
    }
    if (present(record, COIL_SN_POLL_TYPE)) {
        t.pollType = record->pollType;
        // A counted poll is not re-run from stored configuration.
        if (implied && t.pollType == COIL_POLL_ONESHOT) return 1;
    }
    if (present(record, COIL_SN_RETRY)) {
        t.count = record->retry;
        if (implied && t.count == 0) {
            t.pollType = COIL_POLL_PERIODIC;
        } else {
            if (t.count == 0 || t.count > 255) {
                bufferPutf(&context->message, "ERROR: valid count range (1..255)!");
                return 0;
            }
            t.pollType = COIL_POLL_ONESHOT;
        }
    } else {
        t.pollType = COIL_POLL_PERIODIC;
    }
    if (present(record, COIL_SN_PORTS)) {
        PORTLIST_COPY(&t.ports, &record->ports);
        t.numPorts = 1;
    } else {
        t.numPorts = 0;
    }
    if (present(record, COIL_SN_ACTION)) t.action = record->action;
    if (present(record, COIL_SN_DISABLE_PORT)) t.disablePort = record->disablePort;
    if (present(record, COIL_SN_DISABLE_PORT_DURATION)) t.disablePortDuration = record->disablePortDuration;
    return configCoilService(&request, context);
}
