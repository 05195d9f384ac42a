// The packet interface: one raw socket to the switch's packet path, watched
// by the dispatcher, and per VLAN a receive filter plus a forwarding entry
// that deliver frames addressed to gCoilDa to the CPU.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "engine/coil.h"
#include "engine/coil_bytes.h"
#include "fdb_client.h"
#include "frame/coil_log.h"
#include "kypkt.h"

static constexpr const char* coilUnit = "coil_lib";

namespace {
constexpr int kSocketBufferSize = 0xFFFFF;
dispatchFileReg_t coilRecvReg;
}  // namespace

int coilPktIntfInit(void) {
    const int fd = openKypkt();
    if (fd < 0) {
        COIL_TRACE("Failed to create raw socket for netTx (%s)\n", std::strerror(errno));
        return 1;
    }
    int size = kSocketBufferSize;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == -1)
        COIL_TRACE("Failed to increase the netTx transmit buffer to 1024k\n");
    size = kSocketBufferSize;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == -1)
        COIL_TRACE("Failed to increase the netTx receive buffer to 1024k\n");

    coilGlobal.gCoilRxTxFd = fd;
    coilRecvReg = dispatchFileReg_t{};
    coilRecvReg.handler = rxCoilPdu;
    coilRecvReg.value = 1;
    coilCopyText(coilRecvReg.name, sizeof coilRecvReg.name, "coil_recv");
    dispatchAddFile(&coilRecvReg, fd);
    return 0;
}

int installCpuFdbEntry(uint32_t vlanIfInstance, uint16_t tag, int add) {
    fdbKey_t key{};
    key.vlanIfInstance = vlanIfInstance;
    key.tag = tag;
    const int rc = add == 1 ? fdb_client_Mac_Add(3, &key, coilGlobal.gCoilDa, 18, 0, 0)
                            : fdb_client_Mac_Delete(3, &key, coilGlobal.gCoilDa, 0);
    COIL_TRACE("Add %d :rc %d vlanIfInstance %u tag %d\n", add, rc, vlanIfInstance, tag & 0xffff);
    return rc;
}

uint32_t coilAttachPktFilter(vlanIf_t* vlanIf) {
    installCpuFdbEntry(vlanIf->vlanIfInstance, vlanIf->tag, 1);

    kypktFilterSpec_t spec{};
    static constexpr uint32_t kWords[6] = {1, 1, 0, 1, 1, 0};
    for (size_t i = 0; i < 6; i++) coilPutBe32(spec.words[i], kWords[i]);
    coilPutBe16(spec.tag, vlanIf->tag);
    spec.addrLength = 6;
    std::memcpy(spec.addr, coilGlobal.gCoilDa, sizeof spec.addr);
    const int rc = attachKypktFilter(coilGlobal.gCoilRxTxFd, &spec);
    if (rc < 0) COIL_TRACE("Failed to attach filter for vlan id %d: error %d\n", vlanIf->tag, rc);
    return spec.filterId;
}

int coilDeAttachPktFilter(vlanIf_t* vlanIf) {
    if (vlanIf->clientWord == 0) return 1;
    const uint32_t id = vlanIf->clientWord;
    const int rc = detachKypktFilter(coilGlobal.gCoilRxTxFd, id);
    if (rc < 0) COIL_TRACE("Failed to Deattach filter for filterId:%d: error %d\n", id, rc);
    vlanIf->clientWord = 0;
    installCpuFdbEntry(vlanIf->vlanIfInstance, vlanIf->tag, 0);
    return rc;
}

int coil_fdb_CB(int event, ...) {
    COIL_TRACE("Got a Callback %d", event);
    return 0;
}

int coilFdbInit(void) {
    fdb_client_Init(coil_fdb_CB, 1);
    return 0;
}
