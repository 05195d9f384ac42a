// The service registry: key order, lookups, identifier allocation and the
// refusal of an identifier that a live service still holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/coil.h"

namespace {

// Inserts and gives an identifier, as the creation paths do; nullptr when refused.
coilServiceNode* addService(const std::string& clientId, uint32_t vlan) {
    coilServiceNode* sr = coilAllocServiceNode();
    coilCopyText(sr->hdr.clientId, sizeof sr->hdr.clientId, clientId.c_str());
    sr->hdr.vlanIfInstance = vlan;
    if (coilInsertServiceNode(sr) != 0) {
        coilFreeServiceNode(sr);
        return nullptr;
    }
    sr->serviceId = coilNextServiceId();
    return coilEnterServiceId(sr) == nullptr ? nullptr : sr;
}

std::vector<std::string> keyOrder() {
    std::vector<std::string> out;
    for (coilServiceNode* sr = coilFirstService(); sr != nullptr; sr = coilNextService(sr))
        out.push_back(std::string(sr->hdr.clientId) + "/" + std::to_string(sr->hdr.vlanIfInstance));
    return out;
}

// Every test starts and ends on a fresh daemon (tests/support/test_main.cpp):
// the services made here are cleaned up there.
TEST(Registry, WalksInClientThenUnsignedVlanOrderAndRefusesADuplicateKey) {
    const std::string id31(31, 'x');
    for (auto [id, vlan] : std::vector<std::pair<std::string, uint32_t>>{
             {"2", 5}, {"ospf", 1}, {"1", 10}, {"1", 0x80000000u}, {"1", 5}, {id31, 3}})
        ASSERT_NE(addService(id, vlan), nullptr) << id << vlan;
    EXPECT_EQ(keyOrder(), (std::vector<std::string>{"1/5", "1/10", "1/2147483648", "2/5", "ospf/1", id31 + "/3"}));
    EXPECT_EQ(addService("1", 5), nullptr);
    EXPECT_EQ(addService(id31 + "tail beyond the field", 3), nullptr) << "keys compare on 31 characters";
    EXPECT_NE(findCoilServiceNode((id31 + "tail").c_str(), 3), nullptr);
    EXPECT_EQ(keyOrder().size(), 6u);
}

TEST(Registry, IdentifiersWrapToOneSkipZeroAndAHeldOneRefusesTheNewService) {
    coilServiceNode* holder = addService("1", 1);  // gets identifier 1
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(holder->serviceId, 1u);
    coilGlobal.gServiceId = 0xFFFFFFFDu;
    EXPECT_EQ(coilNextServiceId(), 0xFFFFFFFEu);
    EXPECT_EQ(addService("1", 2), nullptr) << "1 is held";
    EXPECT_EQ(findCoilServiceNode("1", 2), nullptr) << "the refused service left the key tree";
    EXPECT_EQ(findCoilServiceIdNode(1)->sr, holder);
    EXPECT_EQ(coilNextServiceId(), 2u);
    EXPECT_EQ(keyOrder(), (std::vector<std::string>{"1/1"}));
}

// Among many services each is found by its key and by its identifier, also
// after others left (their index slots were reused); an identifier nobody
// holds finds nothing.
TEST(Registry, AmongManyEachServiceIsFoundByKeyAndIdentifier) {
    std::vector<coilServiceNode*> live;
    for (uint32_t vlan = 1; vlan <= 3000; vlan++) live.push_back(addService("1", vlan));
    for (uint32_t vlan = 1; vlan <= 3000; vlan += 2) {
        coilServiceNode* sr = live[vlan - 1];
        coilServiceIdNode* id = findCoilServiceIdNode(sr->serviceId);
        coilRemoveServiceId(id);
        std::free(id);
        coilRemoveServiceNode(sr);
        coilFreeServiceNode(sr);
        live[vlan - 1] = nullptr;
    }
    for (uint32_t vlan = 1; vlan <= 3000; vlan++) {
        coilServiceNode* sr = live[vlan - 1];
        EXPECT_EQ(findCoilServiceNode("1", vlan), sr) << vlan;
        if (sr != nullptr) {
            EXPECT_EQ(coilFindServiceById(sr->serviceId), sr) << vlan;
        }
        EXPECT_EQ(coilFindServiceById(vlan * 2 - 1), nullptr) << "identifier " << vlan * 2 - 1 << " left";
    }
}

// Records come from large chunks: across several chunks every record is on
// its own cache line, none overlaps another, and one given again after
// another left is zeroed.
TEST(Registry, ServiceRecordsAreLineAlignedDistinctAndZeroedWhenReused) {
    std::vector<coilServiceNode*> records;
    for (int i = 0; i < 3000; i++) {  // about 4.8 MB: more than two chunks
        coilServiceNode* sr = coilAllocServiceNode();
        ASSERT_NE(sr, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(sr) % 64, 0u);
        std::memset(sr, i % 251 + 1, sizeof *sr);
        records.push_back(sr);
    }
    for (int i = 0; i < 3000; i++) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(records[size_t(i)]);
        EXPECT_EQ(bytes[0], i % 251 + 1) << i;
        EXPECT_EQ(bytes[sizeof(coilServiceNode) - 1], i % 251 + 1) << i;
    }
    for (int i = 0; i < 3000; i += 2) coilFreeServiceNode(records[size_t(i)]);
    for (int i = 0; i < 3000; i += 2) {
        records[size_t(i)] = coilAllocServiceNode();
        const auto* bytes = reinterpret_cast<const unsigned char*>(records[size_t(i)]);
        EXPECT_EQ(std::count(bytes, bytes + sizeof(coilServiceNode), 0), ptrdiff_t(sizeof(coilServiceNode))) << i;
    }
    for (coilServiceNode* sr : records) coilFreeServiceNode(sr);
}

}  // namespace
