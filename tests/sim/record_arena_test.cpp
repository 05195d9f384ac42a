// The simulated switch's record arena: blocks of every size class, mixed,
// are on cache lines and never overlap, also across chunks and when freed
// blocks are given again.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "mira/sim/record_arena.h"

namespace {

struct Block {
    unsigned char* p;
    size_t size;
    unsigned char mark;
};

TEST(RecordArena, MixedSizesStayApartAcrossChunksAndReuse) {
    const size_t sizes[] = {1, 64, 65, 100, 128, 700, 5000, 40000, 65536, 70000};
    std::vector<Block> blocks;
    unsigned char mark = 0;
    auto take = [&](size_t size) {
        auto* p = static_cast<unsigned char*>(mira::sw::arenaAllocate(size));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << size;
        mark = static_cast<unsigned char>(mark % 250 + 1);
        std::memset(p, mark, size);
        blocks.push_back({p, size, mark});
    };
    for (int round = 0; round < 60; round++)  // about 11 MB: several chunks
        for (size_t size : sizes) take(size);
    for (size_t i = 0; i < blocks.size(); i += 3) mira::sw::arenaFree(blocks[i].p, blocks[i].size);
    std::vector<Block> kept;
    for (size_t i = 0; i < blocks.size(); i++)
        if (i % 3 != 0) kept.push_back(blocks[i]);
    blocks = kept;
    for (int round = 0; round < 30; round++)
        for (size_t size : sizes) take(size);
    for (const Block& b : blocks) {
        EXPECT_EQ(b.p[0], b.mark) << b.size;
        EXPECT_EQ(b.p[b.size - 1], b.mark) << b.size;
    }
    for (const Block& b : blocks) mira::sw::arenaFree(b.p, b.size);
}

}  // namespace
