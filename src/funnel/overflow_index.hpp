// Where the entries sit that the placement rules had no slot for.
//
// Two kinds of key meet a map whose rules offer them nothing: keys that
// share one map hash share every level window, primary walk and fallback
// bucket, so a few hundred of them exhaust what the rules can offer however
// large the map is; and in a map kept at its fill limit by removals and
// insertions, the free slots drift to places where few new keys' windows
// fall.  Growing would be wrong for both (it does not help the first and
// doubles a map of constant size for the second), so such a key takes a
// free slot anywhere, and this index records its map hash and location.  A
// lookup that the rules do not answer asks the index for the hash: one probe
// of a small open-addressing table (linear probing, several cells per hash
// allowed, deletion by backward shift, at most half full).  While the index
// is empty, that costs one test.
//
// If recording an entry ever fails for want of memory in the middle of a
// rebuild (when giving up is no longer possible), the index turns
// *saturated*: every lookup the rules do not answer then scans the map -
// slow but correct - until the next clear or rebuild starts afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "funnel/slot_location.hpp"

namespace quorvel {

class OverflowIndex {
public:
    bool empty() const noexcept { return count_ == 0 && !saturated_; }
    bool saturated() const noexcept { return saturated_; }
    std::size_t size() const noexcept { return count_; }

    // f(location) for every entry recorded under hash h, until f returns true.
    template <class F>
    bool any_of(std::uint64_t h, F&& f) const {
        if (count_ == 0) return false;
        for (std::size_t i = home(h); cells_[i].used(); i = next(i)) {
            if (cells_[i].hash == h && f(unpack(cells_[i].location))) return true;
        }
        return false;
    }
    std::size_t count(std::uint64_t h) const noexcept {
        std::size_t n = 0;
        any_of(h, [&](SlotLocation) {
            ++n;
            return false;
        });
        return n;
    }

    // Room for `entries` records without allocating (may throw bad_alloc).
    void reserve(std::size_t entries) {
        std::size_t want = 8;
        while (want < 2 * entries) want *= 2;
        if (want > cells_.size()) rehash(want);
    }

    // Records an entry; allocates when the table must grow.
    void add(std::uint64_t h, SlotLocation loc) {
        reserve(count_ + 1);
        insert_cell(Cell{h, pack(loc)});
    }

    // As add, but never throws: without memory the index saturates.
    void add_or_saturate(std::uint64_t h, SlotLocation loc) noexcept {
        try {
            add(h, loc);
        } catch (const std::bad_alloc&) {
            saturated_ = true;
        }
    }

    // The entry at `loc` of hash h is gone (no effect when it is not recorded).
    void remove(std::uint64_t h, SlotLocation loc) noexcept {
        if (count_ == 0) return;
        const std::uint64_t packed = pack(loc);
        for (std::size_t i = home(h); cells_[i].used(); i = next(i)) {
            if (cells_[i].hash == h && cells_[i].location == packed) {
                erase(i);
                return;
            }
        }
    }

    void clear() noexcept {
        std::vector<Cell>().swap(cells_);
        count_ = 0;
        saturated_ = false;
    }

    std::size_t allocated_bytes() const noexcept { return cells_.capacity() * sizeof(Cell); }

private:
    // A cell is vacant while its location is 0: every packed location has
    // the top bit set.
    struct Cell {
        std::uint64_t hash = 0;
        std::uint64_t location = 0;

        bool used() const noexcept { return location != 0; }
    };

    static constexpr std::uint64_t USED = std::uint64_t{1} << 63;
    static constexpr std::uint64_t pack(SlotLocation loc) noexcept {
        return USED | (std::uint64_t{static_cast<std::uint8_t>(loc.region)} << 48) | (std::uint64_t{loc.level} << 32) |
               loc.slot;
    }
    static constexpr SlotLocation unpack(std::uint64_t packed) noexcept {
        return SlotLocation{static_cast<FunnelRegion>((packed >> 48) & 0xFF), static_cast<std::uint32_t>((packed >> 32) & 0xFFFF),
                            static_cast<std::uint32_t>(packed)};
    }

    std::size_t home(std::uint64_t h) const noexcept {
        return static_cast<std::size_t>(h ^ (h >> 32)) & (cells_.size() - 1);
    }
    std::size_t next(std::size_t i) const noexcept { return (i + 1) & (cells_.size() - 1); }

    void insert_cell(const Cell& cell) noexcept {
        std::size_t i = home(cell.hash);
        while (cells_[i].used()) i = next(i);
        cells_[i] = cell;
        ++count_;
    }

    void rehash(std::size_t size) {
        std::vector<Cell> old(size);
        old.swap(cells_);
        count_ = 0;
        for (const Cell& cell : old) {
            if (cell.used()) insert_cell(cell);
        }
    }

    // Backward-shift deletion: later cells of the same run move up so that
    // every cell stays reachable from its home without tombstones.
    void erase(std::size_t hole) noexcept {
        for (std::size_t i = next(hole);; i = next(i)) {
            if (!cells_[i].used()) break;
            const std::size_t h = home(cells_[i].hash);
            // Move cell i into the hole unless its home lies cyclically in (hole, i].
            const bool stays = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
            if (!stays) {
                cells_[hole] = cells_[i];
                hole = i;
            }
        }
        cells_[hole] = Cell{};
        --count_;
    }

    std::vector<Cell> cells_;
    std::size_t count_ = 0;
    bool saturated_ = false;
};

}  // namespace quorvel
