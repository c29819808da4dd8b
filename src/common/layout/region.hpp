// Region: one slot table and the entries its owner keeps in it.
//
// Every storage area of both maps - an elastic level, a funnel bucket level,
// the funnel's special primary and fallback - is a Region: a RawTable and
// the count of its full slots, with the operations that change a slot.  The
// scheme's own rules (where a key may go, what a removal counts) live in
// the class that derives from it; what a slot change does to the table is
// written here once:
//
//   store(slot, tag, entry)    a free slot becomes full
//   take_out(slot)             removal: the entry leaves, DELETED stays behind
//                              so that other keys' paths stay intact; the
//                              region counts it (`removals`) until it is
//                              rebuilt or cleared
//   relocate_out(slot)         a rebuild moves the entry away from a table that
//                              is being drained and never searched again, so
//                              the slot simply becomes EMPTY
//   release_entries()          every live entry released in slot order, key
//                              before value (destruction)
//   empty_out()                the same, then every control byte EMPTY (clear)
//
// The region owns the entries of its full slots and releases them when it is
// dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "common/control.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"
#include "common/layout/table_scan.hpp"

namespace quorvel {

// A slot index meaning "none" on the lookup paths, where an optional would
// cost a flag in every return.
inline constexpr std::uint32_t NO_SLOT = 0xFFFF'FFFFu;

template <class K, class V>
class Region {
public:
    using EntryType = Entry<K, V>;

    std::uint32_t slots() const noexcept { return table_.slots(); }
    std::uint32_t groups() const noexcept { return table_.groups(); }
    std::uint32_t len() const noexcept { return len_; }
    std::uint32_t free_slots() const noexcept { return slots() > len_ ? slots() - len_ : 0; }
    bool is_full() const noexcept { return len_ >= table_.slots(); }
    const RawTable<EntryType>& table() const noexcept { return table_; }
    std::uint8_t control(std::uint32_t i) const noexcept { return table_.control(i); }
    std::size_t allocated_bytes() const noexcept { return table_.allocated_bytes(); }

    EntryType& entry(std::uint32_t slot) noexcept { return *table_.slot(slot); }
    const EntryType& entry(std::uint32_t slot) const noexcept { return *table_.slot(slot); }

    EntryType relocate_out(std::uint32_t slot) noexcept { return move_out(slot, EMPTY); }

    // Removal, counted; a region with a finer count adds to this.
    EntryType take(std::uint32_t slot) noexcept { return take_out(slot); }

    void release_entries() noexcept {
        if (len_ != 0) destroy_entries(table_);
        len_ = 0;
    }

protected:
    Region() noexcept = default;
    explicit Region(std::uint32_t slots) : table_(slots) {}
    Region(Region&& other) noexcept
        : table_(std::move(other.table_)),
          len_(std::exchange(other.len_, 0)),
          removals_(std::exchange(other.removals_, 0)) {}
    Region& operator=(Region&&) = delete;
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    ~Region() { release_entries(); }

    template <class... Args>
    void store(std::uint32_t slot, std::uint8_t tag, Args&&... args) noexcept {
        std::construct_at(table_.slot(slot), std::forward<Args>(args)...);
        table_.set_control(slot, tag);
        ++len_;
    }

    EntryType take_out(std::uint32_t slot) noexcept {
        ++removals_;
        return move_out(slot, DELETED);
    }

    void empty_out() noexcept {
        release_entries();
        table_.reset_controls();
        removals_ = 0;
    }

    // Removals since the region was made, rebuilt or cleared.
    std::uint32_t removals() const noexcept { return removals_; }
    // After a rebuild drained the region (relocate_out leaves EMPTY bytes).
    void forget_removals() noexcept { removals_ = 0; }

    RawTable<EntryType> table_;
    std::uint32_t len_ = 0;
    std::uint32_t removals_ = 0;

private:
    EntryType move_out(std::uint32_t slot, std::uint8_t leaves) noexcept {
        EntryType& stored = *table_.slot(slot);
        EntryType out{std::move(stored.key), std::move(stored.value)};
        std::destroy_at(&stored);
        table_.set_control(slot, leaves);
        --len_;
        return out;
    }
};

}  // namespace quorvel
