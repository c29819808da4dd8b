// The special fallback: the last place the rules offer a key whose level
// windows and primary groups are all full.
//
//   table   floor(S/2) slots cut into buckets of w = max(2, 2P) slots (the
//           last one may be short)
//
// A key has two buckets, chosen from H rotated left by 19 and by 5 bits; it
// is placed in the lowest free slot of the first, else of the second.  Free
// slots never end a fallback search: the two buckets are always both
// scanned.  `tombstones` counts removals since the last rebuild or clear.
// The fallback owns
// its live entries and releases them in slot order.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>

#include "common/control.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/region.hpp"
#include "common/probe.hpp"
#include "common/probe_counter.hpp"

namespace quorvel {

template <MapKey K, class V>
class SpecialFallback : public Region<K, V> {
    using Region<K, V>::table_;
    using Region<K, V>::len_;

public:
    using EntryType = Entry<K, V>;

    struct Bucket {
        std::uint32_t begin;
        std::uint32_t end;
    };

    SpecialFallback() = default;
    SpecialFallback(std::uint32_t slots, std::uint32_t width, std::uint32_t buckets)
        : Region<K, V>(slots), bucket_width_(width), bucket_count_(buckets), bucket_reciprocal_(reciprocal(buckets)) {}

    SpecialFallback(SpecialFallback&& other) noexcept
        : Region<K, V>(std::move(other)),
          bucket_width_(other.bucket_width_),
          bucket_count_(std::exchange(other.bucket_count_, 0)),
          bucket_reciprocal_(other.bucket_reciprocal_) {}

    std::uint32_t tombstones() const noexcept { return this->removals(); }
    std::uint32_t bucket_width() const noexcept { return bucket_width_; }
    std::uint32_t bucket_count() const noexcept { return bucket_count_; }

    // The key's two buckets (bucket_count > 0); they may be the same bucket.
    Bucket first_bucket(MapHash h) const noexcept { return bucket(static_cast<std::uint32_t>(std::rotl(h.value, 19))); }
    Bucket second_bucket(MapHash h) const noexcept {
        return bucket(static_cast<std::uint32_t>(std::rotl(h.value, 5) >> 32));
    }

    // find_in_special_fallback: the key's slot in its two buckets, or NO_SLOT.
    std::uint32_t find(const K& key, MapHash h) const {
        if (this->slots() == 0 || len_ == 0 || bucket_count_ == 0) return NO_SLOT;
        const std::uint8_t tag = h.tag();
        for (const Bucket b : {first_bucket(h), second_bucket(h)}) {
            ProbeCounter::group();
            for (std::uint32_t s = b.begin; s < b.end; ++s) {
                if (table_.control(s) == tag && KeyOps<K>::equal(table_.slot(s)->key, key)) return s;
            }
        }
        return NO_SLOT;
    }

    // The lowest free slot of the first bucket, else of the second.
    std::optional<std::uint32_t> first_free(MapHash h) const noexcept {
        if (this->slots() == 0 || this->is_full() || bucket_count_ == 0) return std::nullopt;
        for (const Bucket b : {first_bucket(h), second_bucket(h)}) {
            ProbeCounter::group();
            for (std::uint32_t s = b.begin; s < b.end; ++s) {
                if (is_free(table_.control(s))) return s;
            }
        }
        return std::nullopt;
    }

    bool in_buckets(MapHash h, std::uint32_t slot) const noexcept {
        if (bucket_count_ == 0) return false;
        const Bucket a = first_bucket(h), b = second_bucket(h);
        return (slot >= a.begin && slot < a.end) || (slot >= b.begin && slot < b.end);
    }

    template <class... Args>
    void place(std::uint32_t slot, std::uint8_t tag, Args&&... args) noexcept {
        this->store(slot, tag, std::forward<Args>(args)...);
    }

    void clear() noexcept { this->empty_out(); }

    void reset_after_drain() noexcept { this->forget_removals(); }

private:
    Bucket bucket(std::uint32_t word) const noexcept {
        const std::uint64_t begin = std::uint64_t{reduce_mod(word, bucket_count_, bucket_reciprocal_)} * bucket_width_;
        const std::uint64_t end = std::min<std::uint64_t>(begin + bucket_width_, this->slots());
        return {static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end)};
    }

    std::uint32_t bucket_width_ = 2;
    std::uint32_t bucket_count_ = 0;
    std::uint64_t bucket_reciprocal_ = 0;
};

}  // namespace quorvel
