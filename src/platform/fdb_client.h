// Forwarding-database client of the platform.
#pragma once
#include <cstdint>

struct fdbKey_t {
    uint16_t zero1;
    uint16_t zero2;
    uint32_t vlanIfInstance;
    uint16_t tag;
};

typedef int (*fdbCallback_t)(int event, ...);

int fdb_client_Init(fdbCallback_t cb, int a);
int fdb_client_Mac_Add(int kind, const fdbKey_t* key, const uint8_t* mac, int flags, int a, int b);
int fdb_client_Mac_Delete(int kind, const fdbKey_t* key, const uint8_t* mac, int a);
