// Balanced ordered tree of the platform. Intrusive: the node header is the
// first member of the record it orders, and the library never allocates.
#pragma once
#include <cstdint>

struct p2BtreeNode_t {
    p2BtreeNode_t* parent;
    p2BtreeNode_t* left;
    p2BtreeNode_t* right;
    int32_t height;
};

// Compares two records (node addresses); negative, 0 or positive.
typedef int (*p2BtreeCompare_t)(const void* a, const void* b);

// 0 on success; nonzero when a node comparing equal is already present.
int p2BtreeInsert(void* node, void** root, p2BtreeCompare_t compare);
// Unlinks the node (does not free it). 0 on success.
int p2BtreeDelete(void* node, void** root);
// Smallest node or null.
void* p2BtreeFirst(void** root);
// Next node in order, or null.
void* p2BtreeNext(void* node);
// The node comparing equal to the key record, or null. Takes the root itself.
void* findNode(const void* key, void* root, p2BtreeCompare_t compare);
