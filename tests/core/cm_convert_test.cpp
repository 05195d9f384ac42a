// The backend library's text side: conversions from request text and the
// buffer writer with its own conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

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

// Each good text gives its value; each bad one fails and leaves the output alone.
template <typename T>
void expectConversions(int (*convert)(const char*, T*), std::vector<std::pair<const char*, T>> good,
                       std::vector<const char*> bad) {
    for (auto [text, want] : good) {
        T out = T(77);
        EXPECT_TRUE(convert(text, &out)) << text;
        EXPECT_EQ(out, want) << text;
    }
    for (const char* text : bad) {
        T out = T(77);
        EXPECT_FALSE(convert(text, &out)) << (text ? text : "null");
        EXPECT_EQ(out, T(77)) << (text ? text : "null");
    }
}

TEST(CmConvert, NumbersBooleansAndRowStatusKeepTheirRangeAndRejectJunk) {
    expectConversions<uint16_t>(STRING_TO_UINT16, {{"0", 0}, {"65535", 65535}},
                                {"65536", "", "-1", "+1", " 1", "1 ", "12a", "0x10", "99999999999999999999"});
    expectConversions<uint32_t>(STRING_TO_UINT32, {{"4294967295", 4294967295u}},
                                {"4294967296", "-0", "", "1.5", nullptr});
    expectConversions<int32_t>(STRING_TO_INT, {{"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"+4", 4}},
                               {"2147483648", "-2147483649", "-", "+", "", "--1", "3x"});
    expectConversions<BOOLEAN_T>(STRING_TO_BOOLEAN,
                                 {{"true", 1}, {"ON", 1}, {"Enable", 1}, {"yes", 1}, {"1", 1}, {"FALSE", 0},
                                  {"off", 0}, {"disable", 0}, {"No", 0}, {"0", 0}},
                                 {"", "2", "truee", "y"});
    expectConversions<ACTION_T>(STRING_TO_ACTION,
                                {{"active", 1}, {"notInService", 2}, {"createAndGo", 3}, {"destroy", 4},
                                 {"createandgo", 3}, {"1", 1}, {"4", 4}},
                                {"0", "5", "", "activ", "-1"});
}

// The list with exactly these {group, word, bits} set.
PORTLIST_T ports(std::initializer_list<std::tuple<int, int, uint32_t>> words) {
    PORTLIST_T list{};
    for (auto [group, word, bits] : words) list.group[group][word] = bits;
    return list;
}

void expectList(const char* text, const PORTLIST_T& want) {
    PORTLIST_T out = ports({{5, 5, 0x1234}});  // what was there before is replaced
    ASSERT_TRUE(STRING_TO_PORTLIST(text, &out)) << text;
    EXPECT_EQ(std::memcmp(&out, &want, sizeof out), 0) << text;
}

TEST(CmConvert, PortListLayoutFollowsFirstSlotAndPortBits) {
    chassis(4, 1);
    // Slot 1 ports 1-4; slot 2 ports 3 and 5-8 (a range's end may give the
    // port alone); port 33 is the first bit of the second word, 256 the last
    // bit of the group.
    expectList("1:1-1:4,2:3,3:33,4:256,2:5-8",
               ports({{0, 0, 0xf0000000u}, {1, 0, 0x2f000000u}, {2, 1, 0x80000000u}, {3, 7, 0x00000001u}}));
    expectList("1:1-1:1,1:1", ports({{0, 0, 0x80000000u}}));
    expectList("", ports({}));

    const PORTLIST_T kept = ports({{5, 5, 0x1234}});
    for (const char* bad : {"5", "1:1-2:4", "1:4-1:2", "5:1", "0:1", "1:0", "1:257", "1:1,", ",1:1", "1:1,,1:2",
                            "1:", ":1", "1:1 ", "1:1-", "a", "1:1;1:2", "1:1-1:2-1:3", "100000:1"}) {
        PORTLIST_T out = kept;
        EXPECT_FALSE(STRING_TO_PORTLIST(bad, &out)) << bad;
        EXPECT_EQ(std::memcmp(&out, &kept, sizeof out), 0) << bad;
    }

    // With the first slot numbered 3, slot 3 takes group 0.
    chassis(2, 3);
    expectList("4:2,3:1-2", ports({{0, 0, 0xc0000000u}, {1, 0, 0x40000000u}}));
    PORTLIST_T out{};
    EXPECT_FALSE(STRING_TO_PORTLIST("1:1", &out));  // below the first slot
}

TEST(CmConvert, BarePortsOnlyOnOneSlotSwitch) {
    chassis(1, 1);
    expectList("5,7-8,1:9", ports({{0, 0, 0x0b800000u}}));  // ports 5, 7, 8, 9
    expectConversions<PORTMASK_T>(STRING_TO_PORTMASK, {{"5", 0x00010005u}}, {});

    chassis(4, 1);
    expectConversions<PORTMASK_T>(STRING_TO_PORTMASK, {{"3:17", 0x00030011u}},
                                  {"5", "3:17,3:18", "3:17-3:18", "9:1", "3:0", ""});
}

TEST(CmBuffer, OwnConversionsAndPrintfConversions) {
    chassis(4, 1);
    mira::CmBuffer buf;
    PORTLIST_T list{}, empty{};
    ASSERT_TRUE(STRING_TO_PORTLIST("1:1-1:4,2:3,2:5-2:6,4:256", &list));
    EXPECT_GT(bufferPutf(buf.get(), "%b/%b %M %P|[%P][%P]", 1u, 0u, 0x00020011u, &list, &empty,
                         static_cast<const PORTLIST_T*>(nullptr)),
              0);
    EXPECT_EQ(buf.view(), "true/false 2:17 1:1-1:4,2:3,2:5-2:6,4:256|[][]");

    bufferReset(buf.get());
    bufferPutf(buf.get(), "%d %u %5s|%-3d|%x %lu %lld %.2f %c %% %s|%*d|%.*s|%6b|%.1Lf", -3, 4000000000u, "ab", 7,
               255u, 9ul, -8ll, 1.5, 'z', static_cast<const char*>(nullptr), 4, 1, 2, "xyz", 1u, 2.25L);
    EXPECT_EQ(buf.view(), "-3 4000000000    ab|7  |ff 9 -8 1.50 z % (null)|   1|xy|  true|2.2");
}

TEST(CmBuffer, GrowsAndResetsButStopsAtItsBound) {
    mira::CmBuffer buf;
    std::string chunk(1000, 'x');
    for (int i = 0; i < 100; ++i) ASSERT_EQ(bufferPuts(buf.get(), chunk.c_str()), 1000);
    EXPECT_EQ(buf.view().size(), 100000u);
    EXPECT_EQ(buf.get()->text[buf.get()->length], '\0');

    bufferReset(buf.get());
    EXPECT_STREQ(buf.get()->text, "");

    std::string huge(mira::kCmBufferMaxSize - 10, 'y');
    ASSERT_GT(bufferPuts(buf.get(), huge.c_str()), 0);
    EXPECT_EQ(bufferPutf(buf.get(), "%s", chunk.c_str()), -1);  // would pass the bound
    EXPECT_EQ(buf.view().size(), huge.size());                   // nothing appended
    EXPECT_EQ(bufferPuts(buf.get(), "123456789"), 9);             // exactly fills it
    EXPECT_EQ(bufferPuts(buf.get(), "1"), -1);
}

}  // namespace
