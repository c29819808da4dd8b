// Where an entry of a funnel map sits: a slot of one level, of the special
// primary or of the special fallback.  A small copyable value: the binding
// layer keeps it between a lookup and the access that follows, and it stays
// valid until the map next changes.
#pragma once

#include <compare>
#include <cstdint>

namespace quorvel {

enum class FunnelRegion : std::uint8_t { level, primary, fallback };

struct SlotLocation {
    FunnelRegion region = FunnelRegion::level;
    std::uint32_t level = 0;  // level index; 0 outside the levels
    std::uint32_t slot = 0;   // slot index in the region's table

    static constexpr SlotLocation level_slot(std::uint32_t level, std::uint32_t slot) noexcept {
        return {FunnelRegion::level, level, slot};
    }
    static constexpr SlotLocation primary_slot(std::uint32_t slot) noexcept {
        return {FunnelRegion::primary, 0, slot};
    }
    static constexpr SlotLocation fallback_slot(std::uint32_t slot) noexcept {
        return {FunnelRegion::fallback, 0, slot};
    }

    // Entry order: the levels by index, then the primary, then the
    // fallback, each by ascending slot.
    friend constexpr auto operator<=>(const SlotLocation&, const SlotLocation&) noexcept = default;
};

// The same order as one integer compare: region, then level, then slot
// (a level index is far below 2^30).  Removal and placement keep their
// positions in entry order as these keys, where the three-way compare of
// the members would cost a chain of branches on every call.
constexpr std::uint64_t order_key(const SlotLocation& loc) noexcept {
    return std::uint64_t{static_cast<std::uint8_t>(loc.region)} << 62 | std::uint64_t{loc.level} << 32 | loc.slot;
}

// The location of an order key (order_key's inverse).
constexpr SlotLocation location_of(std::uint64_t key) noexcept {
    return {static_cast<FunnelRegion>(key >> 62), static_cast<std::uint32_t>(key >> 32) & 0x3FFF'FFFFu,
            static_cast<std::uint32_t>(key)};
}

}  // namespace quorvel
