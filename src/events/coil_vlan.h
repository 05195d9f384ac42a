// The VLAN manager's change notifications.
#pragma once
#include <cstdint>

int coilVlanInit(void);
int coilHandleDelVlan(const char* name, uint32_t vlanIfInstance);
int coilHandleAddPortToVlan(const char* vlanName, uint32_t vlanIfInstance, uint32_t ifIndex, uint32_t flags,
                            uint32_t portWord);
int coilHandleRemPortFromVlan(const char* vlanName, uint32_t vlanIfInstance, uint32_t ifIndex, uint32_t flags,
                              uint32_t portWord);
int coilHandleVlanRename(const char* oldName, const char* newName, uint32_t vlanIfInstance);
int coilHandleCfgTagToVlan(const char* vlanName, uint32_t vlanIfInstance, uint32_t oldTag, uint32_t newTag);
int coilHandleCfgPortState(const uint32_t* ports, uint32_t state, uint32_t count);
