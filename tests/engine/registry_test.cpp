// The service registry: key order, lookups, identifier allocation and the
// refusal of an identifier that a live service still holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/coil.h"

namespace {

coilServiceNode* newService(const char* clientId, uint32_t vlan) {
    auto* sr = static_cast<coilServiceNode*>(std::calloc(1, sizeof(coilServiceNode)));
    coilCopyText(sr->hdr.clientId, sizeof sr->hdr.clientId, clientId);
    sr->hdr.vlanIfInstance = vlan;
    return sr;
}

// Inserts and gives an identifier, as the creation paths do.
coilServiceNode* addService(const char* clientId, uint32_t vlan) {
    coilServiceNode* sr = newService(clientId, vlan);
    if (coilInsertServiceNode(sr) != 0) {
        std::free(sr);
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

class Registry : public ::testing::Test {
  protected:
    void SetUp() override { coilGlobal = coilGlobal_t{}; }
    void TearDown() override {
        while (coilServiceNode* sr = coilFirstService()) {
            if (coilServiceIdNode* id = findCoilServiceIdNode(sr->serviceId)) {
                coilRemoveServiceId(id);
                std::free(id);
            }
            coilRemoveServiceNode(sr);
            std::free(sr);
        }
    }
};

TEST_F(Registry, WalksInClientThenUnsignedVlanOrder) {
    ASSERT_NE(addService("2", 5), nullptr);
    ASSERT_NE(addService("ospf", 1), nullptr);
    ASSERT_NE(addService("1", 10), nullptr);
    ASSERT_NE(addService("1", 0x80000000u), nullptr);  // sorts as unsigned, after 10
    ASSERT_NE(addService("1", 5), nullptr);
    EXPECT_EQ(keyOrder(), (std::vector<std::string>{"1/5", "1/10", "1/2147483648", "2/5", "ospf/1"}));
}

TEST_F(Registry, RefusesADuplicateKey) {
    ASSERT_NE(addService("1", 5), nullptr);
    coilServiceNode* dup = newService("1", 5);
    EXPECT_NE(coilInsertServiceNode(dup), 0);
    std::free(dup);
    EXPECT_EQ(keyOrder().size(), 1u);
}

TEST_F(Registry, ComparesClientIdentifiersOnTheirFirst31Characters) {
    const std::string id31(31, 'x');
    ASSERT_NE(addService(id31.c_str(), 3), nullptr);
    EXPECT_NE(findCoilServiceNode((id31 + "tail beyond the field").c_str(), 3), nullptr);
}

TEST_F(Registry, IdentifiersWrapFromFFFFFFFEToOneAndSkipZero) {
    coilGlobal.gServiceId = 0xFFFFFFFDu;
    EXPECT_EQ(coilNextServiceId(), 0xFFFFFFFEu);
    EXPECT_EQ(coilNextServiceId(), 1u);
    EXPECT_EQ(coilNextServiceId(), 2u);
}

TEST_F(Registry, AnIdentifierStillHeldRefusesTheNewServiceAndLeavesNoTrace) {
    coilServiceNode* holder = addService("1", 1);  // gets identifier 1
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(holder->serviceId, 1u);
    coilGlobal.gServiceId = 0xFFFFFFFEu;

    EXPECT_EQ(addService("1", 2), nullptr);
    EXPECT_EQ(findCoilServiceNode("1", 2), nullptr) << "the refused service left the key tree";
    EXPECT_EQ(findCoilServiceIdNode(1)->sr, holder);
    EXPECT_EQ(keyOrder(), (std::vector<std::string>{"1/1"}));
}

}  // namespace
