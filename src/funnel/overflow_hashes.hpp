// The map hashes of entries placed outside their own windows and sequences.
//
// Keys that share one map hash share every level window, primary walk and
// fallback bucket, so a few hundred of them exhaust what the placement
// rules can offer them however large the map is.  Such a key is placed in
// the first free slot of the whole map instead, and its hash is counted
// here.  A lookup that misses by the rules asks this table whether to scan
// the whole map; while it is empty that costs one flag test, and otherwise
// one probe of a small open-addressing table (linear probing, deletion by
// backward shift, at most half full).
//
// If recording a hash ever fails for want of memory in the middle of a
// rebuild (when giving up is no longer possible), the table turns
// *saturated*: it answers "maybe" for every hash, so every miss scans the
// map - slow but correct - until the next clear or rebuild starts afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace quorvel {

class OverflowHashes {
public:
    // Whether entries of hash h may sit outside their windows.
    bool may_contain(std::uint64_t h) const noexcept {
        if (!active_) return false;
        return saturated_ || find(h) != nullptr;
    }
    bool empty() const noexcept { return !active_; }
    bool saturated() const noexcept { return saturated_; }
    std::size_t distinct() const noexcept { return distinct_; }
    std::uint32_t count(std::uint64_t h) const noexcept {
        const Cell* cell = find(h);
        return cell == nullptr ? 0 : cell->count;
    }

    // Room for `distinct` hashes without allocating (may throw bad_alloc).
    void reserve(std::size_t distinct) {
        std::size_t want = 8;
        while (want < 2 * distinct) want *= 2;
        if (want > cells_.size()) rehash(want);
    }

    // Counts one more entry of hash h; allocates when a new hash needs room.
    void add(std::uint64_t h) {
        if (Cell* cell = find(h)) {
            ++cell->count;
            return;
        }
        reserve(distinct_ + 1);
        insert_new(h, 1);
        active_ = true;
    }

    // As add, but never throws: without memory the table saturates.
    void add_or_saturate(std::uint64_t h) noexcept {
        try {
            add(h);
        } catch (const std::bad_alloc&) {
            saturated_ = true;
            active_ = true;
        }
    }

    // One entry of hash h is gone (no effect when h is not counted).
    void remove_one(std::uint64_t h) noexcept {
        Cell* cell = find(h);
        if (cell == nullptr) return;
        if (--cell->count == 0) erase(cell);
        active_ = saturated_ || distinct_ != 0;
    }

    void clear() noexcept {
        std::vector<Cell>().swap(cells_);
        distinct_ = 0;
        saturated_ = false;
        active_ = false;
    }

    std::size_t allocated_bytes() const noexcept { return cells_.capacity() * sizeof(Cell); }

private:
    struct Cell {
        std::uint64_t hash = 0;
        std::uint32_t count = 0;  // 0: vacant
    };

    std::size_t home(std::uint64_t h) const noexcept {
        return static_cast<std::size_t>(h ^ (h >> 32)) & (cells_.size() - 1);
    }
    std::size_t next(std::size_t i) const noexcept { return (i + 1) & (cells_.size() - 1); }

    const Cell* find(std::uint64_t h) const noexcept {
        if (distinct_ == 0) return nullptr;
        for (std::size_t i = home(h);; i = next(i)) {
            if (cells_[i].count == 0) return nullptr;
            if (cells_[i].hash == h) return &cells_[i];
        }
    }
    Cell* find(std::uint64_t h) noexcept {
        return const_cast<Cell*>(static_cast<const OverflowHashes*>(this)->find(h));
    }

    void insert_new(std::uint64_t h, std::uint32_t count) noexcept {
        std::size_t i = home(h);
        while (cells_[i].count != 0) i = next(i);
        cells_[i] = Cell{h, count};
        ++distinct_;
    }

    void rehash(std::size_t size) {
        std::vector<Cell> old(size);
        old.swap(cells_);
        distinct_ = 0;
        for (const Cell& cell : old) {
            if (cell.count != 0) insert_new(cell.hash, cell.count);
        }
    }

    // Backward-shift deletion: later cells of the same run move up so that
    // every cell stays reachable from its home without tombstones.
    void erase(Cell* cell) noexcept {
        std::size_t hole = static_cast<std::size_t>(cell - cells_.data());
        for (std::size_t i = next(hole);; i = next(i)) {
            if (cells_[i].count == 0) break;
            const std::size_t h = home(cells_[i].hash);
            // Move cell i into the hole unless its home lies cyclically in (hole, i].
            const bool stays = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
            if (!stays) {
                cells_[hole] = cells_[i];
                hole = i;
            }
        }
        cells_[hole] = Cell{};
        --distinct_;
    }

    std::vector<Cell> cells_;
    std::size_t distinct_ = 0;
    bool saturated_ = false;
    bool active_ = false;
};

}  // namespace quorvel
