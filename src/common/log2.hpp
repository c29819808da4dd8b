// A correctly rounded double-precision log2 for the sizing rules.
//
// Both maps size themselves with ceilings of, and comparisons with,
// expressions in log2: the funnel level count ceil(4 log2(1/δ) + 10), bucket
// width ceil(2 log2(1/δ)) and probe limit ceil(log2(log2 n)); the elastic
// probe budgets stop where 16(i-1)/scale reaches log2(1/δ).  A ceiling jumps where its argument crosses an
// integer, so one ulp of error in log2 can change a map's shape.  The C
// library's log2 is very good but not correctly rounded (about one input in
// 20,000 comes back one ulp off), and inputs such as the double nearest to
// 2^3.5 sit exactly on such a jump.  So the sizing rules use this routine,
// which does not depend on the C library:
//
//   x = m * 2^e with m in [sqrt(1/2), sqrt(2)); log2 x = e + ln(m) / ln 2
//   ln m = 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...),  s = (m - 1) / (m + 1)
//
// evaluated in double-double arithmetic (about 104 significant bits) and
// rounded once at the end.  |s| < 0.1716, so 24 terms of the series leave a
// truncation error below 2^-120.  The result is the correctly rounded log2
// unless the exact value lies within about 2^-100 (relative) of a rounding
// midpoint; powers of two are exact.  It runs only when a map is built.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace quorvel {

namespace detail {

// An unevaluated sum hi + lo with |lo| <= ulp(hi) / 2.
struct DoubleDouble {
    double hi;
    double lo;
};

inline DoubleDouble two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

inline DoubleDouble quick_two_sum(double a, double b) noexcept {  // |a| >= |b|
    const double s = a + b;
    return {s, b - (s - a)};
}

inline DoubleDouble two_prod(double a, double b) noexcept {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

inline DoubleDouble dd_add(DoubleDouble a, DoubleDouble b) noexcept {
    const DoubleDouble s = two_sum(a.hi, b.hi);
    const DoubleDouble t = two_sum(a.lo, b.lo);
    DoubleDouble r = quick_two_sum(s.hi, s.lo + t.hi);
    return quick_two_sum(r.hi, r.lo + t.lo);
}

inline DoubleDouble dd_mul(DoubleDouble a, DoubleDouble b) noexcept {
    const DoubleDouble p = two_prod(a.hi, b.hi);
    return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline DoubleDouble dd_div(DoubleDouble a, DoubleDouble b) noexcept {
    // Two rounds of long division: q1 = a/b, then the remainder's quotient.
    const double q1 = a.hi / b.hi;
    const DoubleDouble r = dd_add(a, dd_mul({-q1, 0.0}, b));
    const double q2 = r.hi / b.hi;
    const DoubleDouble r2 = dd_add(r, dd_mul({-q2, 0.0}, b));
    const double q3 = r2.hi / b.hi;
    return dd_add(quick_two_sum(q1, q2), {q3, 0.0});
}

// log2(e) = 1/ln 2 to 106 bits.
inline constexpr DoubleDouble LOG2_E = {0x1.71547652b82fep+0, 0x1.777d0ffda0d24p-56};
inline constexpr double SQRT_2 = 0x1.6a09e667f3bcdp+0;
inline constexpr int ATANH_TERMS = 24;

// 1/(2k + 1) for k = 0 .. ATANH_TERMS, the coefficients of the series,
// divided once per process (a map is sized at every growth) by the same
// division the series would do.
inline const std::array<DoubleDouble, ATANH_TERMS + 1>& odd_reciprocals() noexcept {
    static const std::array<DoubleDouble, ATANH_TERMS + 1> table = [] {
        std::array<DoubleDouble, ATANH_TERMS + 1> t{};
        for (int k = 0; k <= ATANH_TERMS; ++k) {
            t[static_cast<std::size_t>(k)] = dd_div({1.0, 0.0}, {2.0 * k + 1.0, 0.0});
        }
        return t;
    }();
    return table;
}

}  // namespace detail

// log2(x) correctly rounded to double, for finite x > 0 (NaN otherwise).
inline double log2_correctly_rounded(double x) noexcept {
    using namespace detail;
    if (!(x > 0.0) || !std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
    int e = 0;
    if (x < std::numeric_limits<double>::min()) {  // subnormal: scale into the normal range
        x *= 0x1p54;
        e = -54;
    }
    const auto bits = std::bit_cast<std::uint64_t>(x);
    e += static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    double m = std::bit_cast<double>((bits & 0x000F'FFFF'FFFF'FFFFull) | 0x3FF0'0000'0000'0000ull);
    if (m == 1.0) return static_cast<double>(e);
    if (m > SQRT_2) {
        m *= 0.5;
        e += 1;
    }
    // m - 1 is exact for m in [1/2, 2]; m + 1 is kept exact as a pair.
    const DoubleDouble s = dd_div({m - 1.0, 0.0}, two_sum(m, 1.0));
    const DoubleDouble s2 = dd_mul(s, s);
    // Horner from the smallest term: p = 1/1 + s2/3 + s2^2/5 + ...
    const std::array<DoubleDouble, ATANH_TERMS + 1>& odd = odd_reciprocals();
    DoubleDouble p = odd[ATANH_TERMS];
    for (int k = ATANH_TERMS - 1; k >= 0; --k) {
        p = dd_add(dd_mul(p, s2), odd[static_cast<std::size_t>(k)]);
    }
    const DoubleDouble ln_m = dd_mul(dd_mul(s, p), {2.0, 0.0});
    const DoubleDouble log2_m = dd_mul(ln_m, LOG2_E);
    const DoubleDouble total = dd_add({static_cast<double>(e), 0.0}, log2_m);
    return total.hi + total.lo;
}

}  // namespace quorvel
