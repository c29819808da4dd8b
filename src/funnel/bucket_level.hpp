// One level of a funnel map: `bucket_count` buckets of `bucket_width` slots.
//
//     table   bucket 0: slots 0 .. R-1 | bucket 1: R .. 2R-1 | ...
//             R is a multiple of 16, so every bucket is a whole number of
//             16-slot groups and starts on a group boundary.
//
// A key's window in the level is its whole bucket,
//     b = (H.lo XOR low word of salt) mod bucket_count,
// reduced with the level's reciprocal (no division on the probe path).
// Placement takes the lowest free slot of the window.  Since an EMPTY byte
// only comes back through clear or rebuild, a window group that still holds
// an EMPTY slot has had a free slot ever since, so no key placed there or
// beyond can have passed it: a lookup ends there (for the whole map, not
// only this level).  Removed slots become DELETED and are reused by
// placements; `tombstones` counts removals since the last rebuild or clear.
//
// The level owns its live entries: destroying it releases them in slot order.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "common/control.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/region.hpp"
#include "common/probe.hpp"
#include "common/probe_counter.hpp"
#include "common/sizing.hpp"

namespace quorvel {

// What a lookup found in one window: the key's slot (or NO_SLOT), and
// whether the window holds an EMPTY slot, which ends the whole search.
struct WindowProbe {
    std::uint32_t slot;
    bool ends;
};

template <MapKey K, class V>
class BucketLevel : public Region<K, V> {
    using Region<K, V>::table_;
    using Region<K, V>::len_;

public:
    using EntryType = Entry<K, V>;

    BucketLevel(std::uint32_t index, std::uint32_t buckets, std::uint32_t width)
        : Region<K, V>(saturate_u32(std::uint64_t{buckets} * width)),
          bucket_width_(width),
          bucket_count_(buckets),
          groups_per_bucket_(width / GROUP_WIDTH),
          salt_(level_salt(index)),
          bucket_reciprocal_(reciprocal(buckets)) {}

    BucketLevel(BucketLevel&& other) noexcept
        : Region<K, V>(std::move(other)),
          bucket_width_(other.bucket_width_),
          bucket_count_(std::exchange(other.bucket_count_, 0)),
          groups_per_bucket_(other.groups_per_bucket_),
          salt_(other.salt_),
          bucket_reciprocal_(other.bucket_reciprocal_) {}

    // Removals since the last rebuild or clear: the DELETED bytes there are
    // at most this many.
    std::uint32_t tombstones() const noexcept { return this->removals(); }
    std::uint32_t bucket_width() const noexcept { return bucket_width_; }
    std::uint32_t bucket_count() const noexcept { return bucket_count_; }
    std::uint32_t groups_per_bucket() const noexcept { return groups_per_bucket_; }
    std::uint64_t salt() const noexcept { return salt_; }
    std::uint64_t bucket_reciprocal() const noexcept { return bucket_reciprocal_; }

    // The key's bucket and its first group (bucket_count > 0).  With one
    // bucket the reciprocal is 0 and the reduction gives 0, as it must.
    std::uint32_t window_bucket(MapHash h) const noexcept {
        const std::uint32_t x = h.lo() ^ static_cast<std::uint32_t>(salt_);
        return reduce_mod(x, bucket_count_, bucket_reciprocal_);
    }
    std::uint32_t window_group(MapHash h) const noexcept { return window_bucket(h) * groups_per_bucket_; }
    std::uint32_t window_start(MapHash h) const noexcept { return window_group(h) * GROUP_WIDTH; }

    bool in_window(MapHash h, std::uint32_t slot) const noexcept {
        if (bucket_count_ == 0) return false;
        const std::uint32_t start = window_start(h);
        return slot >= start && slot - start < bucket_width_;
    }

    // The key's slot in its window, comparing keys only on tag matches
    // (`needle`: the key's tag as Group::needle made it).  `Groups` is the window's group count when it is known at compile time
    // (1: buckets of 16 slots, the usual case, walked without a loop), else 0.
    template <std::uint32_t Groups>
    [[gnu::always_inline]] WindowProbe find(const K& key, MapHash h, Group::Needle needle) const {
        const std::uint32_t per_bucket = Groups != 0 ? Groups : groups_per_bucket_;
        const std::uint32_t first = window_bucket(h) * per_bucket;
        std::uint32_t g = first;
        do {
            ProbeCounter::group();
            const Group group = Group::load(table_.group(g));
            const BitMask matches = group.match(needle);
            const BitMask empty = group.match_tag(EMPTY);
            // Most windows of a walk hold neither the tag nor an EMPTY slot:
            // one test passes them.
            if ((matches.bits() | empty.bits()) != 0) {
                for (const std::uint32_t bit : matches) {
                    const std::uint32_t slot = g * GROUP_WIDTH + bit;
                    if (KeyOps<K>::equal(table_.slot(slot)->key, key)) return {slot, false};
                }
                if (empty) return {NO_SLOT, true};
            }
        } while (++g < first + per_bucket);
        return {NO_SLOT, false};
    }

    // A window of `Groups` groups (1 or 2, known at compile time) as a
    // lookup reads it: its first slot; the slots whose tag matches, in the
    // groups the walk reaches (a group after one with an EMPTY slot is not
    // reached), as one mask; and whether an EMPTY slot ends the walk there.
    // Both groups are read whatever the first holds: only the mask says
    // what the walk would compare.
    struct Window {
        std::uint32_t base;
        std::uint64_t matches;
        bool ends;
    };
    template <std::uint32_t Groups>
    [[gnu::always_inline]] Window read_window(MapHash h, Group::Needle needle) const noexcept {
        static_assert(Groups == 1 || Groups == 2);
        const std::uint32_t g = window_bucket(h) * Groups;
        ProbeCounter::group();
        const Group first = Group::load(table_.group(g));
        const std::uint32_t first_empty = first.match_tag(EMPTY).bits();
        std::uint64_t matches = first.match(needle).bits();
        bool ends = first_empty != 0;
        if constexpr (Groups == 2) {
            const Group second = Group::load(table_.group(g + 1));
            const std::uint64_t reached = first_empty == 0 ? ~std::uint64_t{0} : 0;
            matches |= (std::uint64_t{second.match(needle).bits()} & reached) << GROUP_WIDTH;
            ends |= second.match_tag(EMPTY).any();
        }
        return {g * GROUP_WIDTH, matches, ends};
    }

    // The lowest free slot of the key's window.
    std::optional<std::uint32_t> first_free(MapHash h) const noexcept {
        if (bucket_count_ == 0 || this->is_full()) return std::nullopt;
        const std::uint32_t first = window_group(h);
        for (std::uint32_t g = first; g < first + groups_per_bucket_; ++g) {
            ProbeCounter::group();
            if (const BitMask free = match_free(table_.group(g))) return g * GROUP_WIDTH + free.lowest();
        }
        return std::nullopt;
    }

    template <class... Args>
    void place(std::uint32_t slot, std::uint8_t tag, Args&&... args) noexcept {
        this->store(slot, tag, std::forward<Args>(args)...);
    }

    void clear() noexcept {
        if (len_ != 0 || this->removals() != 0) this->empty_out();
    }

    void reset_after_drain() noexcept { this->forget_removals(); }

private:
    std::uint32_t bucket_width_ = 0;
    std::uint32_t bucket_count_ = 0;
    std::uint32_t groups_per_bucket_ = 0;
    std::uint64_t salt_ = 0;
    std::uint64_t bucket_reciprocal_ = 0;
};

}  // namespace quorvel
