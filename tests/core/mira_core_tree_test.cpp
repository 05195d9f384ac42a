// The intrusive balanced tree against std::set: random inserts and deletes,
// duplicates refused, in-order walks, lookups, and the AVL shape kept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "p2btree.h"

namespace {

struct Record {
    p2BtreeNode_t node;
    int key;
};

int compare(const void* a, const void* b) {
    int x = static_cast<const Record*>(a)->key, y = static_cast<const Record*>(b)->key;
    return x < y ? -1 : x > y ? 1 : 0;
}

// Height of the subtree; fails the test on a broken parent link, a stale
// height or a balance beyond one.
int checkShape(const p2BtreeNode_t* n, const p2BtreeNode_t* parent) {
    if (!n) return 0;
    EXPECT_EQ(n->parent, parent);
    int l = checkShape(n->left, n), r = checkShape(n->right, n);
    EXPECT_LE(std::abs(l - r), 1);
    int h = 1 + std::max(l, r);
    EXPECT_EQ(n->height, h);
    return h;
}

std::vector<int> walk(void** root) {
    std::vector<int> keys;
    for (void* n = p2BtreeFirst(root); n; n = p2BtreeNext(n)) keys.push_back(static_cast<Record*>(n)->key);
    return keys;
}

TEST(MiraCoreTree, RandomInsertsAndDeletesMatchAnOrderedSet) {
    constexpr int kKeys = 2000;
    std::vector<Record> records(kKeys);
    for (int k = 0; k < kKeys; ++k) records[k].key = k;
    std::vector<bool> inTree(kKeys, false);
    std::set<int> model;
    void* root = nullptr;
    std::mt19937 rng(7);
    for (int round = 0; round < 20'000; ++round) {
        int k = int(rng() % kKeys);
        if (rng() % 3 != 0) {
            // Insert; a second record with the same key must be refused.
            Record probe{{}, k};
            int r = inTree[k] ? p2BtreeInsert(&probe, &root, compare) : p2BtreeInsert(&records[k], &root, compare);
            ASSERT_EQ(r == 0, model.insert(k).second) << "key " << k;
            inTree[k] = true;
        } else if (inTree[k]) {
            ASSERT_EQ(p2BtreeDelete(&records[k], &root), 0);
            inTree[k] = false;
            model.erase(k);
        }
        if (round % 1000 == 0) {
            checkShape(static_cast<p2BtreeNode_t*>(root), nullptr);
            ASSERT_EQ(walk(&root), std::vector<int>(model.begin(), model.end()));
        }
    }
    checkShape(static_cast<p2BtreeNode_t*>(root), nullptr);
    ASSERT_EQ(walk(&root), std::vector<int>(model.begin(), model.end()));
    // Lookups find exactly the present keys, and Next from each found node
    // gives the set's successor.
    for (int k = -1; k <= kKeys; ++k) {
        Record key{{}, k};
        auto* found = static_cast<Record*>(findNode(&key, root, compare));
        ASSERT_EQ(found != nullptr, model.count(k) == 1);
        if (!found) continue;
        EXPECT_EQ(found, &records[k]);
        auto next = model.upper_bound(k);
        auto* n = static_cast<Record*>(p2BtreeNext(found));
        ASSERT_EQ(n == nullptr, next == model.end());
        if (n) {
            EXPECT_EQ(n->key, *next);
        }
    }
    // Emptying it leaves a null root.
    for (int k : model) ASSERT_EQ(p2BtreeDelete(&records[k], &root), 0);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(p2BtreeFirst(&root), nullptr);
}

}  // namespace
