// Control bytes and 16-slot group matching.
//
// Every slot of a table has one control byte:
//
//     0x00        EMPTY    never used since the table was made, cleared or rebuilt
//     0x01..0x7F  tag      occupied; the top seven bits of the entry's map hash
//     0x80        DELETED  the entry that was here has been removed
//
// A slot is free when (byte & 0x7F) == 0.  Seen as signed bytes, the free
// values are exactly those <= 0, which is what the SSE2 path tests.
//
// Group g covers slots 16g .. 16g+15; its 16 control bytes are contiguous,
// so one 16-byte load answers "which slots hold tag t" (match_tag) and
// "which slots are free" (match_free) as 16-bit masks, bit j for slot 16g+j.
// Control positions past the slot count stay EMPTY for ever; callers reject
// a free position at or beyond the slot count.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define QUORVEL_HAVE_SSE2 1
#include <emmintrin.h>
#endif

namespace quorvel {

inline constexpr std::uint8_t EMPTY = 0x00;
inline constexpr std::uint8_t DELETED = 0x80;
inline constexpr std::uint32_t GROUP_WIDTH = 16;

constexpr bool is_free(std::uint8_t control) noexcept { return (control & 0x7F) == 0; }
constexpr bool is_full(std::uint8_t control) noexcept { return !is_free(control); }

// A set of slot positions within one group, visited lowest first.
class BitMask {
public:
    constexpr explicit BitMask(std::uint32_t bits) noexcept : bits_(bits) {}

    constexpr bool any() const noexcept { return bits_ != 0; }
    constexpr explicit operator bool() const noexcept { return any(); }
    constexpr std::uint32_t bits() const noexcept { return bits_; }
    constexpr std::uint32_t lowest() const noexcept {
        return static_cast<std::uint32_t>(std::countr_zero(bits_));
    }

    class iterator {
    public:
        constexpr explicit iterator(std::uint32_t bits) noexcept : bits_(bits) {}
        constexpr std::uint32_t operator*() const noexcept {
            return static_cast<std::uint32_t>(std::countr_zero(bits_));
        }
        constexpr iterator& operator++() noexcept {
            bits_ &= bits_ - 1;
            return *this;
        }
        constexpr bool operator==(const iterator&) const noexcept = default;

    private:
        std::uint32_t bits_;
    };
    constexpr iterator begin() const noexcept { return iterator(bits_); }
    constexpr iterator end() const noexcept { return iterator(0); }

private:
    std::uint32_t bits_;
};

// Portable reference implementation; the SSE2 group must agree with it bit
// for bit (tested).
struct PortableGroup {
    std::uint8_t bytes[GROUP_WIDTH];

    using Needle = std::uint8_t;
    static Needle needle(std::uint8_t tag) noexcept { return tag; }

    static PortableGroup load(const std::uint8_t* controls) noexcept {
        PortableGroup g;
        std::memcpy(g.bytes, controls, GROUP_WIDTH);
        return g;
    }
    BitMask match(Needle tag) const noexcept { return match_tag(tag); }
    BitMask match_tag(std::uint8_t tag) const noexcept {
        std::uint32_t mask = 0;
        for (std::uint32_t j = 0; j < GROUP_WIDTH; ++j) mask |= std::uint32_t{bytes[j] == tag} << j;
        return BitMask(mask);
    }
    BitMask match_free() const noexcept {
        std::uint32_t mask = 0;
        for (std::uint32_t j = 0; j < GROUP_WIDTH; ++j) mask |= std::uint32_t{is_free(bytes[j])} << j;
        return BitMask(mask);
    }
};

#ifdef QUORVEL_HAVE_SSE2
struct Sse2Group {
    __m128i ctrl;

    // The tag spread over 16 lanes, made once per lookup.
    using Needle = __m128i;
    static Needle needle(std::uint8_t tag) noexcept { return _mm_set1_epi8(static_cast<char>(tag)); }

    // Groups start at multiples of 16 bytes of a 64-byte aligned block.
    static Sse2Group load(const std::uint8_t* controls) noexcept {
        return Sse2Group{_mm_load_si128(reinterpret_cast<const __m128i*>(controls))};
    }
    BitMask match(Needle needle) const noexcept {
        return BitMask(static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(ctrl, needle))));
    }
    BitMask match_tag(std::uint8_t tag) const noexcept { return match(needle(tag)); }
    // Free bytes are 0x00 and 0x80, the only ones not greater than 0 when signed.
    BitMask match_free() const noexcept {
        const __m128i full = _mm_cmpgt_epi8(ctrl, _mm_setzero_si128());
        return BitMask(~static_cast<std::uint32_t>(_mm_movemask_epi8(full)) & 0xFFFFu);
    }
};
using Group = Sse2Group;
#else
using Group = PortableGroup;
#endif

inline BitMask match_tag(const std::uint8_t* group_controls, std::uint8_t tag) noexcept {
    return Group::load(group_controls).match_tag(tag);
}
inline BitMask match_free(const std::uint8_t* group_controls) noexcept {
    return Group::load(group_controls).match_free();
}

}  // namespace quorvel
