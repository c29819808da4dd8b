// Slot tables: layout, allocation and the layout checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"

namespace quorvel {
namespace {

using Slot = Entry<std::uint64_t, std::uint64_t>;
using Table = RawTable<Slot>;

TEST(RawTable, ZeroSlotsAllocatesNothing) {
    Table t(0);
    EXPECT_EQ(t.slots(), 0u);
    EXPECT_EQ(t.groups(), 0u);
    EXPECT_EQ(t.control_offset(), 0u);
    EXPECT_EQ(t.allocated_bytes(), 0u);
    t.reset_controls();  // harmless
}

// __sizeof__ reports this figure, so it must cover the whole allocation:
// the 64-byte-rounded block plus the alignment unit it is over-allocated by.
TEST(RawTable, AllocatedBytesCoverTheAlignmentSlack) {
    for (const std::uint32_t slots : {1u, 16u, 17u, 1000u}) {
        Table t(slots);
        const TableLayout layout = TableLayout::compute(slots, sizeof(Slot), alignof(Slot),
                                                        PLATFORM_MAX_OBJECT);
        EXPECT_EQ(t.allocated_bytes(), layout.block_size) << slots;
    }
}

TEST(RawTable, GroupCountsAndSpareControlsStayEmpty) {
    struct Case { std::uint32_t slots, groups; };
    for (auto [slots, groups] : {Case{1, 1}, Case{16, 1}, Case{17, 2}, Case{32, 2}, Case{33, 3}}) {
        Table t(slots);
        EXPECT_EQ(t.slots(), slots);
        EXPECT_EQ(t.groups(), groups);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(t.slot(0)) % 64, 0u);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(t.controls()) % 64, 0u);
        EXPECT_EQ(t.control_offset() % 64, 0u);
        EXPECT_GE(t.control_offset(), std::uint64_t{slots} * sizeof(Entry<std::uint64_t, std::uint64_t>));
        for (std::uint32_t i = 0; i < GROUP_WIDTH * groups; ++i) EXPECT_EQ(t.control(i), EMPTY);
        for (std::uint32_t i = 0; i < slots; ++i) t.set_control(i, 5);
        for (std::uint32_t i = slots; i < GROUP_WIDTH * groups; ++i) EXPECT_EQ(t.control(i), EMPTY);
        // A free spare position beyond the slot count shows up in the mask; owners reject it.
        EXPECT_EQ(match_free(t.group(groups - 1)).any(), slots % 16 != 0);
        t.reset_controls();
        for (std::uint32_t i = 0; i < GROUP_WIDTH * groups; ++i) EXPECT_EQ(t.control(i), EMPTY);
    }
}

TEST(RawTable, MovesOwnership) {
    Table a(40);
    a.set_control(3, 9);
    Table b(std::move(a));
    EXPECT_EQ(a.slots(), 0u);
    EXPECT_EQ(b.slots(), 40u);
    EXPECT_EQ(b.control(3), 9);
    a = std::move(b);
    EXPECT_EQ(a.control(3), 9);
}

// The layout of a 32-bit platform: 16-byte entries of alignment 4 and a
// largest object of 2^31 - 1 bytes.
constexpr std::uint64_t MAX32 = 0x7FFF'FFFFu;

std::string layout_failure(std::uint32_t slots) {
    try {
        TableLayout::compute(slots, 16, 4, MAX32);
    } catch (const LayoutError& e) {
        return e.what();
    }
    return "";
}

TEST(TableLayout, ThirtyTwoBitThresholds) {
    EXPECT_EQ(layout_failure(1u << 27), "slots layout overflow: LayoutError");
    EXPECT_EQ(layout_failure(0xFFFF'FFFFu), "slots layout overflow: LayoutError");
    EXPECT_EQ(layout_failure((1u << 27) - 1), "layout extend overflow: LayoutError");
    EXPECT_EQ(layout_failure(126'322'561), "layout extend overflow: LayoutError");
    EXPECT_EQ(layout_failure(126'322'560), "");
    const TableLayout ok = TableLayout::compute(126'322'560, 16, 4, MAX32);
    EXPECT_EQ(ok.groups, 7'895'160u);
    EXPECT_EQ(ok.control_offset, 2'021'160'960u);
    EXPECT_EQ(ok.block_size % 64, 0u);
    EXPECT_LE(ok.block_size, MAX32);
}

TEST(TableLayout, ControlCheckComesAfterSlotCheck) {
    // With one-byte slots the slot array passes while the controls would not.
    EXPECT_THROW(TableLayout::compute(0xFFFF'FFF0u, 1, 1, 0xFFFF'0000u), LayoutError);
    try {
        TableLayout::compute(0xFFFF'0000u, 0, 1, 0xFFFF'0000u);
        FAIL();
    } catch (const LayoutError& e) {
        EXPECT_STREQ(e.what(), "controls layout overflow: LayoutError");
    }
}

TEST(TableLayout, SixtyFourBitHostAcceptsTheLargestCounts) {
    const TableLayout big = TableLayout::compute(0xFFFF'FFFFu, 32, 8, PLATFORM_MAX_OBJECT);
    EXPECT_EQ(big.groups, 0x1000'0000u);
    EXPECT_EQ(big.control_offset, (0xFFFF'FFFFull * 32 + 63) / 64 * 64);
}

}  // namespace
}  // namespace quorvel
