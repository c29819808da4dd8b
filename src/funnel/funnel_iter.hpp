// FunnelIter: a resumable walk over a funnel map's entries in entry order -
// levels by index, then the primary, then the fallback, each by ascending
// slot (the order a rebuild collects them in).
//
// The iterator borrows the map; the map must not change while it is in use
// (the binding layer holds its borrow of the map for each step).  Past the
// end it keeps returning nullptr.
#pragma once

#include <cstdint>
#include <optional>

#include "common/layout/entry.hpp"
#include "funnel/funnel_map.hpp"
#include "funnel/slot_location.hpp"
#include "funnel/table_scan.hpp"

namespace quorvel {

template <MapKey K, class V>
class FunnelIter {
public:
    explicit FunnelIter(const FunnelHashMap<K, V>& map) noexcept
        : map_(&map), phase_(map.levels().empty() ? Phase::primary : Phase::levels) {}

    // The next entry, or nullptr when the walk is over.
    const Entry<K, V>* next() noexcept {
        while (phase_ != Phase::done) {
            if (const auto slot = next_entry_of_region()) {
                slot_index_ = *slot + 1;
                last_ = location(*slot);
                return &map_->entry_at(last_);
            }
            advance_region();
        }
        return nullptr;
    }

    // Where the entry last returned by next() sits.
    SlotLocation location() const noexcept { return last_; }

private:
    enum class Phase : std::uint8_t { levels, primary, fallback, done };

    // Regions without entries are passed without reading their bytes.
    std::optional<std::uint32_t> next_entry_of_region() const noexcept {
        std::uint32_t len = 0;
        switch (phase_) {
            case Phase::levels: len = map_->levels()[level_index_].len; break;
            case Phase::primary: len = map_->primary().len; break;
            default: len = map_->fallback().len; break;
        }
        if (len == 0) return std::nullopt;
        return next_full_slot(current_table(), slot_index_);
    }

    const RawTable<Entry<K, V>>& current_table() const noexcept {
        switch (phase_) {
            case Phase::levels: return map_->levels()[level_index_].table;
            case Phase::primary: return map_->primary().table;
            default: return map_->fallback().table;
        }
    }

    SlotLocation location(std::uint32_t slot) const noexcept {
        switch (phase_) {
            case Phase::levels: return SlotLocation::level_slot(level_index_, slot);
            case Phase::primary: return SlotLocation::primary_slot(slot);
            default: return SlotLocation::fallback_slot(slot);
        }
    }

    void advance_region() noexcept {
        slot_index_ = 0;
        if (phase_ == Phase::levels && level_index_ + 1 < map_->levels().size()) {
            ++level_index_;
        } else {
            phase_ = static_cast<Phase>(static_cast<std::uint8_t>(phase_) + 1);
        }
    }

    const FunnelHashMap<K, V>* map_;
    Phase phase_;
    std::uint32_t level_index_ = 0;
    std::uint32_t slot_index_ = 0;
    SlotLocation last_{};
};

}  // namespace quorvel
