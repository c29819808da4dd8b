// How far along its probe sequence a key of one level can lie.
//
// Every placement takes the first free slot along the key's sequence
// within some number of groups: the walk's depth (1: the start group).  No
// key of the level therefore lies deeper than the deepest placement that
// started where it starts, and a lookup stops there.  The bound is kept per
// cell: a start group and one of 16 classes, the class being four bits of
// the map hash (53..56, independent of the start group, the tag and the
// level hints).  A cell then sees one or two placements at the usual loads
// instead of sixteen, so its bound is near the depth of its own keys, and a
// long walk raises the bound of one sixteenth of the lookups from its group
// only.  Without such a bound a miss in a nearly full level, where groups
// holding a never-used slot are rare, would walk most of the level.
//
// A cell's bound is four bits, a code for a depth:
//
//     code   0..8   9   10  11  12  13  14  15
//     depth  0..8   10  12  16  24  32  48  the level's deepest walk
//
// a placement stores the smallest code whose depth is at least its own, so
// the stored bound never falls below the truth; the bound only grows until
// the level is emptied.  Eight bytes per group: half a byte a slot.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/hash.hpp"

namespace quorvel::elastic {

class LookupBounds {
public:
    static constexpr std::uint32_t CLASSES = 16;
    static constexpr unsigned CLASS_SHIFT = 53;
    static constexpr std::uint8_t DEEPEST = 15;  // the code of "the level's deepest walk"

    LookupBounds() = default;
    explicit LookupBounds(std::uint32_t groups) : nibbles_(std::size_t{groups} * CLASSES / 2, 0) {}

    static constexpr std::uint32_t cell(std::uint32_t group, MapHash h) noexcept {
        return group * CLASSES + static_cast<std::uint32_t>((h.value >> CLASS_SHIFT) & (CLASSES - 1));
    }

    // The depth a key of `cell` may lie at; `deepest` is the level's deepest walk.
    std::uint32_t bound(std::uint32_t cell, std::uint32_t deepest) const noexcept {
        return depth_of(code_at(cell), deepest);
    }

    // Whether no key of `cell` lies past its start group: the question a
    // lookup asks most, answered from the code alone (codes 0 and 1 are
    // depths 0 and 1; every other code is deeper).
    bool within_start_group(std::uint32_t cell) const noexcept { return code_at(cell) <= 1; }

    // Records a placement at `depth` in `cell`; returns how many groups the
    // cell's bound grew by (counting a bound below one as one: a lookup reads
    // the start group whatever the bound says).  `deepest` already counts
    // this placement (deepest >= depth).  Whether the bound grows depends on
    // the key, so it is worked out without a branch and the byte is always
    // written back.
    std::uint32_t note(std::uint32_t cell, std::uint32_t depth, std::uint32_t deepest) noexcept {
        std::uint8_t& byte = nibbles_[cell / 2];
        const unsigned shift = nibble_shift(cell);
        const auto old_code = static_cast<std::uint8_t>((byte >> shift) & 0x0F);
        const std::uint8_t code = std::max(old_code, code_for(depth));
        byte = static_cast<std::uint8_t>((byte & ~(0x0Fu << shift)) | (unsigned{code} << shift));
        const std::uint32_t before = std::max<std::uint32_t>(1, depth_of(old_code, deepest));
        const std::uint32_t after = depth_of(code, deepest);
        return after > before ? after - before : 0;
    }

    void clear() noexcept { std::fill(nibbles_.begin(), nibbles_.end(), std::uint8_t{0}); }

    std::uint32_t cells() const noexcept { return static_cast<std::uint32_t>(nibbles_.size() * 2); }
    std::size_t allocated_bytes() const noexcept { return nibbles_.capacity(); }

    // The smallest code whose depth is at least `depth`.
    static constexpr std::uint8_t code_for(std::uint32_t depth) noexcept {
        return depth < CODES.size() ? CODES[depth] : DEEPEST;
    }

private:
    static constexpr std::array<std::uint32_t, 15> DEPTHS = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 16, 24, 32, 48};

    // code_for of every depth up to the deepest one with a code of its own.
    static constexpr std::array<std::uint8_t, 49> CODES = [] {
        std::array<std::uint8_t, 49> codes{};
        for (std::uint32_t depth = 0; depth < codes.size(); ++depth) {
            std::uint8_t code = 0;
            while (code < DEEPEST && DEPTHS[code] < depth) ++code;
            codes[depth] = code;
        }
        return codes;
    }();

    // Even cells are the low nibble of their byte, odd cells the high one.
    static constexpr unsigned nibble_shift(std::uint32_t cell) noexcept { return (cell % 2) * 4; }

    std::uint8_t code_at(std::uint32_t cell) const noexcept {
        return static_cast<std::uint8_t>((nibbles_[cell / 2] >> nibble_shift(cell)) & 0x0F);
    }

    static std::uint32_t depth_of(std::uint8_t code, std::uint32_t deepest) noexcept {
        return code == DEEPEST ? deepest : DEPTHS[code];
    }

    std::vector<std::uint8_t> nibbles_;
};

}  // namespace quorvel::elastic
