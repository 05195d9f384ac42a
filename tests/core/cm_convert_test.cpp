// The backend library's text side: conversions from request text and the
// buffer writer with its own conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cmbackend.h"
#include "dm.h"
#include "mira/core/cm.h"

// The compiler's printf check does not know the library's %M and %P.
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#pragma GCC diagnostic ignored "-Wformat-overflow"

namespace {

void chassis(uint32_t slots, uint32_t first) {
    dmConfig.slotCount = slots;
    dmConfig.slotFirst = first;
}

bool portSet(const PORTLIST_T& list, uint32_t group, uint32_t port) {
    uint32_t bit = port - 1;
    return (list.group[group][bit / 32] & (0x80000000u >> (bit % 32))) != 0;
}

int countPorts(const PORTLIST_T& list) {
    int n = 0;
    for (auto& group : list.group)
        for (uint32_t word : group) n += __builtin_popcount(word);
    return n;
}

TEST(CmConvert, UnsignedNumbersKeepRangeAndRejectSignsAndJunk) {
    uint16_t u16 = 77;
    EXPECT_TRUE(STRING_TO_UINT16("0", &u16));
    EXPECT_EQ(u16, 0);
    EXPECT_TRUE(STRING_TO_UINT16("65535", &u16));
    EXPECT_EQ(u16, 65535);
    for (const char* bad : {"65536", "", "-1", "+1", " 1", "1 ", "12a", "0x10", "99999999999999999999"}) {
        u16 = 77;
        EXPECT_FALSE(STRING_TO_UINT16(bad, &u16)) << bad;
        EXPECT_EQ(u16, 77) << bad;
    }

    uint32_t u32 = 5;
    EXPECT_TRUE(STRING_TO_UINT32("4294967295", &u32));
    EXPECT_EQ(u32, 4294967295u);
    for (const char* bad : {"4294967296", "-0", "", "1.5"}) {
        u32 = 5;
        EXPECT_FALSE(STRING_TO_UINT32(bad, &u32)) << bad;
        EXPECT_EQ(u32, 5u) << bad;
    }
    EXPECT_FALSE(STRING_TO_UINT32(nullptr, &u32));
}

TEST(CmConvert, SignedNumbersCoverTheWholeRange) {
    int32_t v = 9;
    EXPECT_TRUE(STRING_TO_INT("-2147483648", &v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_TRUE(STRING_TO_INT("2147483647", &v));
    EXPECT_EQ(v, INT32_MAX);
    EXPECT_TRUE(STRING_TO_INT("+4", &v));
    EXPECT_EQ(v, 4);
    for (const char* bad : {"2147483648", "-2147483649", "-", "+", "", "--1", "3x"}) {
        v = 9;
        EXPECT_FALSE(STRING_TO_INT(bad, &v)) << bad;
        EXPECT_EQ(v, 9) << bad;
    }
}

TEST(CmConvert, BooleanWordsAndRowStatusNames) {
    BOOLEAN_T b = 7;
    for (const char* word : {"true", "ON", "Enable", "yes", "1"}) {
        b = 7;
        EXPECT_TRUE(STRING_TO_BOOLEAN(word, &b)) << word;
        EXPECT_EQ(b, 1u) << word;
    }
    for (const char* word : {"FALSE", "off", "disable", "No", "0"}) {
        b = 7;
        EXPECT_TRUE(STRING_TO_BOOLEAN(word, &b)) << word;
        EXPECT_EQ(b, 0u) << word;
    }
    for (const char* bad : {"", "2", "truee", "y"}) {
        b = 7;
        EXPECT_FALSE(STRING_TO_BOOLEAN(bad, &b)) << bad;
        EXPECT_EQ(b, 7u);
    }

    ACTION_T a = 0;
    const std::pair<const char*, ACTION_T> good[] = {{"active", 1}, {"notInService", 2}, {"createAndGo", 3},
                                                      {"destroy", 4}, {"createandgo", 3}, {"1", 1}, {"4", 4}};
    for (auto [text, value] : good) {
        a = 0;
        EXPECT_TRUE(STRING_TO_ACTION(text, &a)) << text;
        EXPECT_EQ(a, value) << text;
    }
    for (const char* bad : {"0", "5", "", "activ", "-1"}) {
        a = 99;
        EXPECT_FALSE(STRING_TO_ACTION(bad, &a)) << bad;
        EXPECT_EQ(a, 99u);
    }
}

TEST(CmConvert, PortListLayoutFollowsFirstSlotAndPortBits) {
    chassis(4, 1);
    PORTLIST_T list{};
    ASSERT_TRUE(STRING_TO_PORTLIST("1:1-1:4,2:3,3:33,4:256", &list));
    EXPECT_EQ(list.group[0][0], 0xf0000000u);          // slot 1, ports 1-4
    EXPECT_EQ(list.group[1][0], 0x20000000u);          // slot 2, port 3
    EXPECT_EQ(list.group[2][1], 0x80000000u);          // port 33: first bit of the second word
    EXPECT_EQ(list.group[3][7], 0x00000001u);          // port 256: last bit of the group
    EXPECT_EQ(countPorts(list), 7);

    // With the first slot numbered 3, slot 3 takes group 0.
    chassis(2, 3);
    PORTLIST_T shifted{};
    ASSERT_TRUE(STRING_TO_PORTLIST("4:2,3:1-2", &shifted));
    EXPECT_TRUE(portSet(shifted, 0, 1) && portSet(shifted, 0, 2) && portSet(shifted, 1, 2));
    EXPECT_EQ(countPorts(shifted), 3);
    EXPECT_FALSE(STRING_TO_PORTLIST("1:1", &shifted));  // below the first slot
}

TEST(CmConvert, PortListRangesAndRejectedTexts) {
    chassis(4, 1);
    PORTLIST_T list{};
    ASSERT_TRUE(STRING_TO_PORTLIST("2:5-8", &list));  // the end may give the port alone
    EXPECT_EQ(list.group[1][0], 0x0f000000u);
    ASSERT_TRUE(STRING_TO_PORTLIST("1:1-1:1,1:1", &list));
    EXPECT_EQ(countPorts(list), 1);
    ASSERT_TRUE(STRING_TO_PORTLIST("", &list));  // the empty list
    EXPECT_EQ(countPorts(list), 0);

    PORTLIST_T kept{};
    kept.group[5][5] = 0x1234;
    for (const char* bad : {"5", "1:1-2:4", "1:4-1:2", "5:1", "0:1", "1:0", "1:257", "1:1,", ",1:1", "1:1,,1:2",
                            "1:", ":1", "1:1 ", "1:1-", "a", "1:1;1:2", "1:1-1:2-1:3", "100000:1"}) {
        PORTLIST_T out = kept;
        EXPECT_FALSE(STRING_TO_PORTLIST(bad, &out)) << bad;
        EXPECT_EQ(std::memcmp(&out, &kept, sizeof out), 0) << bad;
    }
}

TEST(CmConvert, BarePortsOnlyOnOneSlotSwitch) {
    chassis(1, 1);
    PORTLIST_T list{};
    ASSERT_TRUE(STRING_TO_PORTLIST("5,7-8,1:9", &list));
    EXPECT_EQ(list.group[0][0], 0x0b800000u);  // ports 5, 7, 8, 9
    PORTMASK_T mask = 0;
    ASSERT_TRUE(STRING_TO_PORTMASK("5", &mask));
    EXPECT_EQ(mask, 0x00010005u);

    chassis(4, 1);
    mask = 42;
    EXPECT_FALSE(STRING_TO_PORTMASK("5", &mask));
    EXPECT_FALSE(STRING_TO_PORTLIST("5", &list));
    ASSERT_TRUE(STRING_TO_PORTMASK("3:17", &mask));
    EXPECT_EQ(mask, 0x00030011u);
    for (const char* bad : {"3:17,3:18", "3:17-3:18", "9:1", "3:0", ""}) {
        mask = 42;
        EXPECT_FALSE(STRING_TO_PORTMASK(bad, &mask)) << bad;
        EXPECT_EQ(mask, 42u);
    }
}

TEST(CmBuffer, OwnConversionsAndPrintfConversions) {
    chassis(4, 1);
    mira::CmBuffer buf;
    PORTLIST_T list{};
    ASSERT_TRUE(STRING_TO_PORTLIST("1:1-1:4,2:3,2:5-2:6,4:256", &list));
    EXPECT_GT(bufferPutf(buf.get(), "%b/%b %M %P|", 1u, 0u, 0x00020011u, &list), 0);
    EXPECT_EQ(buf.view(), "true/false 2:17 1:1-1:4,2:3,2:5-2:6,4:256|");

    bufferReset(buf.get());
    PORTLIST_T empty{};
    bufferPutf(buf.get(), "[%P][%P]", &empty, static_cast<const PORTLIST_T*>(nullptr));
    EXPECT_EQ(buf.view(), "[][]");

    bufferReset(buf.get());
    bufferPutf(buf.get(), "%d %u %5s|%-3d|%x %lu %lld %.2f %c %% %s", -3, 4000000000u, "ab", 7, 255u, 9ul, -8ll,
               1.5, 'z', static_cast<const char*>(nullptr));
    EXPECT_EQ(buf.view(), "-3 4000000000    ab|7  |ff 9 -8 1.50 z % (null)");

    bufferReset(buf.get());
    bufferPutf(buf.get(), "%*d|%.*s|%6b", 4, 1, 2, "xyz", 1u);
    EXPECT_EQ(buf.view(), "   1|xy|  true");
}

TEST(CmBuffer, GrowsAndResetsButStopsAtItsBound) {
    mira::CmBuffer buf;
    std::string chunk(1000, 'x');
    for (int i = 0; i < 100; ++i) ASSERT_EQ(bufferPuts(buf.get(), chunk.c_str()), 1000);
    EXPECT_EQ(buf.view().size(), 100000u);
    EXPECT_EQ(buf.get()->text[buf.get()->length], '\0');

    bufferReset(buf.get());
    EXPECT_EQ(buf.get()->length, 0u);
    EXPECT_STREQ(buf.get()->text, "");

    std::string huge(mira::kCmBufferMaxSize - 10, 'y');
    ASSERT_GT(bufferPuts(buf.get(), huge.c_str()), 0);
    EXPECT_EQ(bufferPutf(buf.get(), "%s", chunk.c_str()), -1);  // would pass the bound
    EXPECT_EQ(buf.view().size(), huge.size());                   // nothing appended
    EXPECT_EQ(bufferPuts(buf.get(), "123456789"), 9);             // exactly fills it
    EXPECT_EQ(bufferPuts(buf.get(), "1"), -1);
}

}  // namespace
