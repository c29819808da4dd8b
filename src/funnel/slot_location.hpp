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

constexpr bool precedes(const SlotLocation& a, const SlotLocation& b) noexcept { return a < b; }

}  // namespace quorvel
