// FunnelIter: a resumable walk over a funnel map's entries in entry order -
// levels by index, then the primary, then the fallback, each by ascending
// slot (the order a rebuild collects them in).
//
// The iterator borrows the map; the map must not change while it is in use.
// Past the end it keeps returning nullptr.
#pragma once

#include <optional>

#include "common/layout/entry.hpp"
#include "funnel/funnel_map.hpp"
#include "funnel/slot_location.hpp"

namespace quorvel {

template <MapKey K, class V>
class FunnelIter {
public:
    explicit FunnelIter(const FunnelHashMap<K, V>& map) noexcept : map_(&map), next_(map.first_location_from({})) {}

    // The next entry, or nullptr when the walk is over.
    const Entry<K, V>* next() noexcept {
        if (!next_) return nullptr;
        last_ = *next_;
        next_ = map_->next_location(last_);
        return &map_->entry_at(last_);
    }

    // Where the entry last returned by next() sits.
    SlotLocation location() const noexcept { return last_; }

private:
    const FunnelHashMap<K, V>* map_;
    std::optional<SlotLocation> next_;
    SlotLocation last_{};
};

}  // namespace quorvel
