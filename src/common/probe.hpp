// Group steps, division-free reduction and the group walk.
//
// A table of n groups is walked from a start group g0 by a fixed step s
// taken from the list of steps coprime with n: g, g+s, g+2s, ... (mod n).
// Because gcd(s, n) = 1 the walk visits every group exactly once, so a
// search that walks all n groups has seen the whole table.
//
// Start groups and step indices are reduced modulo a count with a
// precomputed reciprocal M = floor((2^64-1)/n) + 1:
//     u mod n = high64((M * u mod 2^64) * n)
// which is exact for every 32-bit u and 2 <= n <= 2^32-1, and needs no
// division on the probe path.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace quorvel {

constexpr std::uint64_t reciprocal(std::uint32_t n) noexcept {
    return n < 2 ? 0 : ~std::uint64_t{0} / n + 1;
}

constexpr std::uint32_t reduce_mod(std::uint32_t u, std::uint32_t n, std::uint64_t recip) noexcept {
    const std::uint64_t low = recip * u;  // mod 2^64: the fraction u/n in fixed point
    return static_cast<std::uint32_t>((static_cast<unsigned __int128>(low) * n) >> 64);
}

struct ProbeOps {
    // Every i in [1, n) coprime with n, ascending; the single step 1 below 2.
    // Every table built - each level of every rebuild - makes this list, so
    // it is made without a division per candidate: i is coprime with n
    // exactly when none of n's (at most nine) prime factors divides it, so
    // the multiples of each factor are struck out of a sieve; for the usual
    // power-of-two group counts the list is simply the odd numbers.
    static std::vector<std::uint32_t> build_group_steps(std::uint32_t n) {
        if (n < 2) return {1};
        std::vector<std::uint32_t> steps;
        if (std::has_single_bit(n)) {
            steps.reserve(n / 2);
            for (std::uint32_t i = 1; i < n; i += 2) steps.push_back(i);
            return steps;
        }
        std::vector<std::uint8_t> shares_factor(n, 0);
        for (const std::uint32_t p : prime_factors(n)) {
            for (std::uint32_t i = p; i < n; i += p) shares_factor[i] = 1;
        }
        for (std::uint32_t i = 1; i < n; ++i) {
            if (shares_factor[i] == 0) steps.push_back(i);
        }
        return steps;
    }

    // The distinct prime factors of n >= 2, ascending.
    static std::vector<std::uint32_t> prime_factors(std::uint32_t n) {
        std::vector<std::uint32_t> factors;
        for (std::uint32_t p = 2; std::uint64_t{p} * p <= n; ++p) {
            if (n % p != 0) continue;
            factors.push_back(p);
            while (n % p == 0) n /= p;
        }
        if (n > 1) factors.push_back(n);
        return factors;
    }
};

// The walk over n >= 1 groups from `start` by `step` (coprime with n).
class GroupWalk {
public:
    constexpr GroupWalk(std::uint32_t start, std::uint32_t step, std::uint32_t groups) noexcept
        : group_(start), step_(step), groups_(groups) {}

    constexpr std::uint32_t group() const noexcept { return group_; }
    constexpr void advance() noexcept {
        // group_ + step_ < 2n <= 2^33: compute in 64 bits so n near 2^32 cannot wrap.
        const std::uint64_t next = std::uint64_t{group_} + step_;
        group_ = static_cast<std::uint32_t>(next >= groups_ ? next - groups_ : next);
    }

private:
    std::uint32_t group_;
    std::uint32_t step_;
    std::uint32_t groups_;
};

}  // namespace quorvel
