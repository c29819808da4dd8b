// Which levels a key can be in: one bit per level for each hash bucket.
//
//   bits[b]   bit k set: some key whose map hash falls in bucket b has been
//             placed into level k since the map was built or cleared
//             (levels 31 and up share bit 31)
//   bucket    bits 24.. of the map hash, masked to a power-of-two count of
//             about one bucket per 8 slots of capacity
//
// Why.  A key may sit in any level, so without this a miss walks the first
// group of every level up to max_level - about log2(capacity) levels, most
// of them holding none of this key's bucket-mates - and a hit walks every
// level before its own.  Some 4 to 7 keys share a bucket at the usual
// loads, spread over the levels as the levels' sizes are: half in level 0,
// a quarter in level 1, ...; so a bucket's word has the first few bits set
// and now and then a stray one, and a lookup visits those levels only (at
// load 0.99 and 2^17 slots: 3.3 levels per miss instead of 8; 2.8 instead
// of 5 at load 0.875).
//
// Soundness.  A bit is set at every placement and cleared only when the map
// is emptied (clear, or the drain of a rebuild), so a key stored in level k
// always has bit k of its bucket set: skipping a level whose bit is clear
// skips a level the key cannot be in, and the lookup returns exactly what
// the walk over every level would.  Removals leave the bits set (the word
// only over-approximates), which can cost a needless visit, never an answer.
// The bucket bits lie below the tag (bits 57..63), so keys sharing a bucket
// do not also share tags, and above the start-group bits of any level
// smaller than 2^24 groups.
//
// Memory: 4 bytes per 8 slots, half a byte a slot.  Buckets of 16 slots
// halve that and give back about a fifth of the gain on misses; buckets of
// 4 slots take misses another fifth lower for a whole byte a slot.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/hash.hpp"

namespace quorvel::elastic {

class LevelHints {
public:
    static constexpr std::uint32_t SHARED_BIT = 31;  // levels from here on share it
    static constexpr std::uint32_t SHARED = std::uint32_t{1} << SHARED_BIT;
    static constexpr std::uint32_t OWN_BITS = SHARED - 1;
    static constexpr std::uint32_t SLOTS_PER_BUCKET = 8;
    static constexpr unsigned BUCKET_SHIFT = 24;

    LevelHints() = default;
    // No buckets for a map without slots: it has no levels to hint at.
    explicit LevelHints(std::uint32_t capacity)
        : bits_(capacity == 0 ? 0 : std::bit_ceil(std::max<std::uint32_t>(1, capacity / SLOTS_PER_BUCKET)), 0),
          mask_(bits_.empty() ? 0 : static_cast<std::uint32_t>(bits_.size() - 1)) {}

    // The levels a key hashing to h may be in (bit SHARED_BIT: that level or a later one).
    std::uint32_t candidates(MapHash h) const noexcept {
        return bits_.empty() ? 0 : bits_[bucket(h)];
    }

    void note(MapHash h, std::uint32_t level) noexcept {
        bits_[bucket(h)] |= std::uint32_t{1} << std::min(level, SHARED_BIT);
    }

    void clear() noexcept { std::fill(bits_.begin(), bits_.end(), 0u); }

    std::size_t buckets() const noexcept { return bits_.size(); }
    std::size_t allocated_bytes() const noexcept { return bits_.capacity() * sizeof(std::uint32_t); }

private:
    std::uint32_t bucket(MapHash h) const noexcept {
        return static_cast<std::uint32_t>(h.value >> BUCKET_SHIFT) & mask_;
    }

    std::vector<std::uint32_t> bits_;
    std::uint32_t mask_ = 0;
};

}  // namespace quorvel::elastic
