// Budgets of the limited probe, as a step function of a level's free slots.
//
// A limited probe of a level with x free slots (of s) may visit budget(x)
// groups.  The fewer free slots, the larger the budget: i groups are
// allowed once the free fraction falls below 2^-sqrt(o), o = 16(i-1)/scale,
// for every i >= 2 with o < log2(1/delta) and a threshold of at least 2:
//
//     t(i) = ceil(s / 2^sqrt(o)),   k(i) = min(t(i) - 1, s)
//     budget(x) = the largest i with k(i) >= x, or 1 if none;  budget(0) = 1
//
// Laid out per free count this is s + 1 words per level, 4 bytes a slot.
// But k(i) never grows with i, so the function has only a handful of runs
// (three for delta = 0.1 and scale 16, about twenty at delta = 1e-6): we keep
// the runs, largest free count first,
//
//     runs[r] = {max_free, groups}: max_free strictly falling, groups rising
//
// and budget(x) is the groups of the last run whose max_free >= x (a prefix,
// found by binary search).  For s = 64, delta = 0.1, scale 16 the runs are
// {31, 2}, {24, 3}, {19, 4}: 1-19 -> 4, 20-24 -> 3, 25-31 -> 2, 32-64 -> 1.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>

#include "common/log2.hpp"
#include "elastic/sizing.hpp"

namespace quorvel::elastic {

class ProbeLimits {
public:
    struct Run {
        std::uint32_t max_free;  // free counts up to here (above the next run's) ...
        std::uint32_t groups;    // ... may probe this many groups

        friend constexpr bool operator==(const Run&, const Run&) = default;
    };

    ProbeLimits() = default;

    static ProbeLimits build(std::uint32_t slots, std::uint32_t groups, double delta, double scale) {
        ProbeLimits limits;
        if (slots == 0 || groups < 2) return limits;
        const double horizon = horizon_of(delta);
        for (std::uint32_t i = 2; i <= groups; ++i) {
            const double o = static_cast<double>(std::uint64_t{16} * (i - 1)) / scale;
            if (o >= horizon) break;
            const std::uint32_t t =
                truncate_to_u32(std::ceil(static_cast<double>(slots) / std::exp2(std::sqrt(o))));
            if (t < 2) break;
            limits.record(i, std::min(t - 1, slots));
        }
        limits.runs_.shrink_to_fit();
        return limits;
    }

    std::uint32_t budget(std::uint32_t free) const noexcept {
        if (free == 0) return 1;
        const auto past = std::partition_point(runs_.begin(), runs_.end(),
                                               [free](const Run& r) { return r.max_free >= free; });
        return past == runs_.begin() ? 1 : std::prev(past)->groups;
    }

    const std::vector<Run>& runs() const noexcept { return runs_; }
    std::size_t allocated_bytes() const noexcept { return runs_.capacity() * sizeof(Run); }

private:
    // log2(1/delta), correctly rounded.  Every level of every table a map
    // builds asks for the same delta, and the correctly rounded log2 costs
    // over a thousand instructions - a few percent of filling a small map,
    // which rebuilds itself as it grows - so each thread remembers its last
    // answer.
    static double horizon_of(double delta) {
        thread_local double last_delta = 0.0;
        thread_local double last_horizon = 0.0;
        if (delta != last_delta) {
            last_horizon = log2_correctly_rounded(1.0 / delta);
            last_delta = delta;
        }
        return last_horizon;
    }

    // Pair (i, k) arrives with i rising: it answers for every free count up
    // to k, overriding the runs it covers completely.
    void record(std::uint32_t groups, std::uint32_t max_free) {
        while (!runs_.empty() && runs_.back().max_free <= max_free) runs_.pop_back();
        runs_.push_back(Run{max_free, groups});
    }

    std::vector<Run> runs_;
};

}  // namespace quorvel::elastic
