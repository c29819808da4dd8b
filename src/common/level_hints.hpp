// Which levels a key can be in: one bit per level for each hash bucket.
//
//   words[b]  bit k set: some key whose map hash falls in bucket b has been
//             placed into level k since the map was built or emptied (the
//             map decides which levels share the last bits)
//   bucket    bits 24.. of the map hash, masked to a power-of-two count of
//             about one bucket per 8 slots of capacity
//
// Why.  Both maps spread a key's possible places over many levels: without
// this, a miss looks at every level up to the highest one in use, and a hit
// at every level before its own.  Some 4 to 7 keys share a bucket at the
// usual loads, spread over the levels as the levels' contents are, so a
// bucket's word has a few bits set, and a lookup visits those levels only.
//
// Soundness.  A bit is set at every placement and cleared only when the map
// is emptied (clear, or the drain of a rebuild), so a key stored in level k
// always has bit k of its bucket set: skipping a level whose bit is clear
// skips a level the key cannot be in, and the lookup returns exactly what
// the walk over every level would.  Removals leave the bits set (a word only
// over-approximates), which can cost a needless visit, never an answer.
// The bucket bits lie below the tag (bits 57..63), so keys sharing a bucket
// do not also share tags, and above the bits that pick start groups and
// buckets in levels smaller than 2^24 groups.
//
// The word of each bucket is counted per bit (`named`): how many buckets
// name level k is what a lookup of a random key visits, which the elastic
// map weighs its churn placements by.
//
// Memory: 4 bytes per 8 slots, half a byte a slot.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/hash.hpp"

namespace quorvel {

class LevelHints {
public:
    static constexpr std::uint32_t BITS = 32;
    static constexpr std::uint32_t SLOTS_PER_BUCKET = 8;
    static constexpr unsigned BUCKET_SHIFT = 24;

    LevelHints() = default;
    // No buckets for a map without slots: it has no levels to hint at.
    explicit LevelHints(std::uint32_t capacity)
        : words_(capacity == 0 ? 0 : std::bit_ceil(std::max<std::uint32_t>(1, capacity / SLOTS_PER_BUCKET)), 0),
          mask_(words_.empty() ? 0 : static_cast<std::uint32_t>(words_.size() - 1)) {}

    // The bits of the bucket of hash h (0 for a map without buckets).
    std::uint32_t candidates(MapHash h) const noexcept { return words_.empty() ? 0 : words_[bucket(h)]; }

    // Sets `bit` in the bucket of h; true when it was not set before.
    bool note(MapHash h, std::uint32_t bit) noexcept {
        std::uint32_t& word = words_[bucket(h)];
        const std::uint32_t mask = std::uint32_t{1} << bit;
        if ((word & mask) != 0) return false;
        word |= mask;
        ++named_[bit];
        ++named_total_;
        return true;
    }

    // The share of buckets whose word has `bit` set.
    double share(std::uint32_t bit) const noexcept {
        return words_.empty() ? 0.0 : static_cast<double>(named_[bit]) / static_cast<double>(words_.size());
    }

    // The levels a random bucket names, on average.
    double mean_named() const noexcept {
        return words_.empty() ? 0.0 : static_cast<double>(named_total_) / static_cast<double>(words_.size());
    }

    void clear() noexcept {
        std::fill(words_.begin(), words_.end(), 0u);
        named_.fill(0);
        named_total_ = 0;
    }

    std::size_t buckets() const noexcept { return words_.size(); }
    std::size_t allocated_bytes() const noexcept { return words_.capacity() * sizeof(std::uint32_t); }

private:
    std::uint32_t bucket(MapHash h) const noexcept { return static_cast<std::uint32_t>(h.value >> BUCKET_SHIFT) & mask_; }

    std::vector<std::uint32_t> words_;
    std::uint32_t mask_ = 0;
    std::array<std::uint32_t, BITS> named_{};
    std::uint64_t named_total_ = 0;
};

}  // namespace quorvel
