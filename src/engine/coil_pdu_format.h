// Offsets of the loop-detection PDU, from the first byte of the destination
// address.
#pragma once

enum {
    COIL_PDU_OFF_DA = 0,
    COIL_PDU_OFF_SA = 6,
    COIL_PDU_OFF_TPID = 12,
    COIL_PDU_OFF_TCI = 14,
    COIL_PDU_OFF_LEN = 16,
    COIL_PDU_OFF_LLC = 18,
    COIL_PDU_OFF_SNAP = 21,
    COIL_PDU_OFF_NUP = 26,
    COIL_PDU_OFF_NUP_LEN = 28,
    COIL_PDU_OFF_NUP_CSUM = 30,
    COIL_PDU_OFF_TLV = 42,
    COIL_PDU_OFF_TLV_TYPE = 43,
    COIL_PDU_OFF_TLV_LEN = 44,
    COIL_PDU_OFF_TLV_VALUE = 46,
    COIL_PDU_OFF_TLV_VLAN = 50,
    COIL_PDU_OFF_TLV_EGRESS = 54,
    COIL_PDU_OFF_TLV_SERVICE = 58,
};

enum {
    COIL_TLV_MARKER = 0x99,
    COIL_TLV_TYPE = 13,
    COIL_TLV_LENGTH = 20,
    COIL_NUP_KIND = 1,
    COIL_TCI_PRIORITY = 0xE000,  // priority 7, CFI 0
};
