// RawTable: the one storage primitive of both maps.
//
// One 64-byte-aligned block holds c slots and then the control bytes of
// ceil(c/16) groups:
//
//     offset 0                      slot[0] slot[1] ... slot[c-1]
//     control_offset (64-aligned)   ctrl[0] ctrl[1] ... ctrl[16*groups - 1]
//     block size = control_offset + 16*groups, rounded up to 64
//
// Only the control bytes are filled (with EMPTY) when the table is made:
// the slots are raw storage until an entry is placed, so a new table costs
// one byte written per slot, not the whole block zeroed (which calloc does
// whenever it hands out reused heap memory: every table of a growing map).
// The 64-byte alignment puts every group's 16 control bytes inside one
// cache line.  Control positions c .. 16*groups-1 are spare: they
// stay EMPTY and are never written.
//
// A large table is read and written at random, one slot here and one there,
// so with ordinary 4 KiB pages nearly every access also misses the TLB.  On
// Linux the 2 MiB-aligned interior of a block of 8 MiB or more is offered
// for transparent huge pages (the kernel may decline; nothing else changes).
//
// The table knows nothing of keys or occupancy.  Its owner writes control
// bytes, constructs entries in occupied slots, and destroys every live entry
// before the table itself is released; a free slot's bytes are never read
// as an entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "common/control.hpp"
#include "common/errors.hpp"

namespace quorvel {

inline constexpr std::size_t TABLE_ALIGN = 64;

// The byte layout of a table of `slots` slots of `slot_size` bytes with the
// given alignment, checked against the platform's largest object size
// (a parameter so that other platforms' limits can be checked too).
struct TableLayout {
    std::uint32_t groups = 0;
    std::uint64_t control_offset = 0;
    std::uint64_t block_size = 0;

    static constexpr std::uint64_t round_up(std::uint64_t x, std::uint64_t to) noexcept {
        return (x + to - 1) / to * to;
    }

    static constexpr TableLayout compute(std::uint32_t slots, std::uint64_t slot_size,
                                         std::uint64_t slot_align, std::uint64_t max_object) {
        TableLayout layout;
        if (slots == 0) return layout;
        layout.groups = slots / GROUP_WIDTH + (slots % GROUP_WIDTH != 0 ? 1 : 0);
        const std::uint64_t slot_bytes = std::uint64_t{slots} * slot_size;  // < 2^32 * 2^31
        const std::uint64_t control_bytes = std::uint64_t{GROUP_WIDTH} * layout.groups;
        if (slot_bytes > max_object - (slot_align - 1)) throw LayoutError("slots layout overflow");
        if (control_bytes > max_object - (TABLE_ALIGN - 1))
            throw LayoutError("controls layout overflow");
        layout.control_offset = round_up(slot_bytes, TABLE_ALIGN);
        if (layout.control_offset + control_bytes > max_object - (TABLE_ALIGN - 1))
            throw LayoutError("layout extend overflow");
        layout.block_size = round_up(layout.control_offset + control_bytes, TABLE_ALIGN);
        return layout;
    }
};

inline constexpr std::uint64_t PLATFORM_MAX_OBJECT =
    static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());

template <class T>
class RawTable {
public:
    RawTable() noexcept = default;

    explicit RawTable(std::uint32_t slots)
        : RawTable(slots, TableLayout::compute(slots, sizeof(T), alignof(T), PLATFORM_MAX_OBJECT)) {}

    RawTable(RawTable&& other) noexcept
        : block_(std::exchange(other.block_, nullptr)),
          controls_(std::exchange(other.controls_, nullptr)),
          slots_(std::exchange(other.slots_, 0)),
          groups_(std::exchange(other.groups_, 0)),
          block_size_(std::exchange(other.block_size_, 0)) {}

    RawTable& operator=(RawTable&& other) noexcept {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, nullptr);
            controls_ = std::exchange(other.controls_, nullptr);
            slots_ = std::exchange(other.slots_, 0);
            groups_ = std::exchange(other.groups_, 0);
            block_size_ = std::exchange(other.block_size_, 0);
        }
        return *this;
    }

    RawTable(const RawTable&) = delete;
    RawTable& operator=(const RawTable&) = delete;
    ~RawTable() { release(); }

    std::uint32_t slots() const noexcept { return slots_; }
    std::uint32_t groups() const noexcept { return groups_; }
    std::uint64_t control_offset() const noexcept { return static_cast<std::uint64_t>(controls_ - block_); }
    // What the block costs: its size (the allocator's own bookkeeping aside).
    std::size_t allocated_bytes() const noexcept { return block_ != nullptr ? block_size_ : 0; }

    // Storage of slot i (i < slots); holds a live T only while control(i) is full.
    T* slot(std::uint32_t i) noexcept { return reinterpret_cast<T*>(block_) + i; }
    const T* slot(std::uint32_t i) const noexcept { return reinterpret_cast<const T*>(block_) + i; }

    std::uint8_t* controls() noexcept { return controls_; }
    const std::uint8_t* controls() const noexcept { return controls_; }
    std::uint8_t control(std::uint32_t i) const noexcept { return controls()[i]; }
    void set_control(std::uint32_t i, std::uint8_t value) noexcept { controls()[i] = value; }

    // The 16 control bytes of group g (g < groups).
    const std::uint8_t* group(std::uint32_t g) const noexcept {
        return controls() + std::size_t{GROUP_WIDTH} * g;
    }

    // Every control byte back to EMPTY (entries must have been released).
    void reset_controls() noexcept {
        if (block_ != nullptr) std::memset(controls(), EMPTY, std::size_t{GROUP_WIDTH} * groups_);
    }

private:
    RawTable(std::uint32_t slots, TableLayout layout)
        : block_(allocate(layout.block_size, layout.control_offset)),
          controls_(block_ == nullptr ? nullptr : block_ + layout.control_offset),
          slots_(slots),
          groups_(layout.groups),
          block_size_(layout.block_size) {}

    // The block comes from the aligned operator new, which gives 64-byte
    // alignment without a spare alignment unit per table (a map of a few
    // thousand entries has a dozen tables of one or two groups).  The
    // slots' pages of a large block are not touched here: the kernel maps
    // them when the first entries land there.
    static std::uint8_t* allocate(std::uint64_t size, std::uint64_t control_offset) {
        if (size == 0) return nullptr;
        if (size > std::numeric_limits<std::size_t>::max() - 2 * TABLE_ALIGN) throw std::bad_alloc();
        auto* block = static_cast<std::uint8_t*>(
            ::operator new(static_cast<std::size_t>(size), std::align_val_t{TABLE_ALIGN}, std::nothrow));
        if (block == nullptr) throw std::bad_alloc();
        advise_huge_pages(block, static_cast<std::size_t>(size));
        std::memset(block + control_offset, EMPTY, static_cast<std::size_t>(size - control_offset));
        return block;
    }

    static void advise_huge_pages([[maybe_unused]] std::uint8_t* block, [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
        if (size < 4 * HUGE_PAGE) return;
        const auto start = reinterpret_cast<std::uintptr_t>(block);
        const std::uintptr_t begin = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        const std::uintptr_t end = (start + size) & ~(HUGE_PAGE - 1);
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
    }

    void release() noexcept {
        if (block_ != nullptr) ::operator delete(block_, std::align_val_t{TABLE_ALIGN});
        block_ = nullptr;
    }

    std::uint8_t* block_ = nullptr;
    std::uint8_t* controls_ = nullptr;  // block_ + the layout's control offset
    std::uint32_t slots_ = 0;
    std::uint32_t groups_ = 0;
    std::uint64_t block_size_ = 0;
};

}  // namespace quorvel
