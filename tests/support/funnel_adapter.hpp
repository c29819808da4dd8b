// How the interpreter drives a FunnelHashMap: options from the header, the
// growth budget, entry-order walks and the map's structural invariants.
//
// Invariants checked on a full check:
//   - the shape (level bucket counts, special sizes, max_insertions) is
//     exactly that of a fresh map of the current capacity with the map's
//     effective reserve fraction and probe limit, and the capacity is the
//     sum of all region slots; the effective options and the seed never
//     change, across growths too;
//   - per region: full control bytes = len; DELETED bytes <= tombstones,
//     and tombstones below the rebuild triggers (slots/2 for a level or the
//     fallback, five per primary group); spare bytes EMPTY; no entry in a
//     level above max_populated_level;
//   - len = sum of the regions' len;
//   - every entry carries its key's tag (and, in the primary, its group's
//     tag filter has it), is found where it sits, and is counted in the
//     overflow table exactly when it lies outside the places the placement
//     rules give its hash.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "census.hpp"
#include "common/control.hpp"
#include "funnel/funnel_iter.hpp"
#include "funnel/funnel_map.hpp"
#include "funnel/shape.hpp"
#include "common/layout/table_scan.hpp"
#include "interpreter.hpp"

namespace quorvel::fuzz {

struct FunnelAdapter {
    using Map = FunnelHashMap<FuzzKey, FuzzValue>;
    using Location = Map::Location;


    struct Config {
        FunnelOptions options;
        FunnelShape shape;  // of the first build
        std::uint64_t seed = 0;
    };

    // Reserve fractions: the default, the 0.125 cap and past it, both ends
    // of the clamp and past them, the edges where the bucket width changes,
    // non-finite and subnormal values, then an even spread over (0, 0.125).
    static double decode_reserve_fraction(std::uint8_t b) noexcept {
        constexpr double inf = std::numeric_limits<double>::infinity();
        static constexpr double special[] = {
            0.1, 0.125, 0.126, 1.0, 2.0, 1e-6, 1e-7, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf,
            0.00390625, 0.0039, 0.001, 0.5, 0.05, 0.01, 5e-324, 0.0625, 0.03, 0.2, 0.999999, 0.12};
        constexpr unsigned n = sizeof special / sizeof special[0];
        if (b < n) return special[b];
        return (b - n + 0.5) / (256.0 - n) * 0.125;
    }

    // Probe limit: mostly the default (absent), else 0, 1 to 188, and a few
    // huge ones.
    static std::optional<std::uint32_t> decode_probe_limit(std::uint8_t b) noexcept {
        if (b < 64) return std::nullopt;
        switch (b) {
            case 255: return 0xFFFF'FFFFu;
            case 254: return 1u << 20;
            case 253: return 1u << 16;
            default: return b - 64u;
        }
    }

    static Config decode(std::uint8_t capacity, std::uint8_t reserve_fraction, std::uint8_t probe) {
        const FunnelOptions options{decode_capacity(capacity), decode_reserve_fraction(reserve_fraction),
                                    decode_probe_limit(probe)};
        return Config{options, funnel_shape(options)};
    }

    static Map make(Config& config, std::uint64_t seed) {
        config.seed = seed;
        return Map::with_options_and_hasher(config.options, seed);
    }

    // Whether adding `key` keeps the map within the slot budget: the map
    // grows when it is at max_insertions, or when the rules have no slot
    // for the key while it is being filled and holds at least half of
    // max_insertions.
    static bool growth_fits(const Map& map, const FuzzKey& key) {
        const bool grows = map.len() >= map.max_insertions() ||
                           (!map.choose_slot_for_new_key(map.hash_key(key)) && !map.churned() &&
                            2 * std::uint64_t{map.len()} >= map.max_insertions());
        return !grows || grown_capacity(map.capacity()) <= kSlotBudget;
    }

    // A rebuild needs a slot for every entry.
    static bool resize_fits(const Map& map, std::uint32_t capacity) {
        return capacity <= kSlotBudget && map.len() <= capacity;
    }

    // A removal never rebuilds the map.
    static bool rebuilds_on_removal(const Map&, Location) { return false; }

    static std::optional<Location> chosen_slot(const Map& map, const FuzzKey& key) {
        return map.choose_slot_for_new_key(map.hash_key(key));
    }

    static std::uint64_t code(Location loc) noexcept {
        return (std::uint64_t(loc.region) << 60) | (std::uint64_t{loc.level} << 32) | loc.slot;
    }

    template <class F>
    static void for_each_location(const Map& map, F&& f) {
        FunnelIter<FuzzKey, FuzzValue> it(map);
        while (const auto* entry = it.next()) f(it.location(), *entry);
    }

    static std::optional<Location> nth_location(const Map& map, std::uint32_t n) {
        FunnelIter<FuzzKey, FuzzValue> it(map);
        for (;;) {
            if (it.next() == nullptr) return std::nullopt;
            if (n-- == 0) return it.location();
        }
    }

    struct Counts {
        std::uint32_t full = 0, deleted = 0, spare_written = 0;
    };

    template <class Table>
    static Counts count(const Table& table, std::uint32_t begin, std::uint32_t end) {
        Counts c;
        for (std::uint32_t s = begin; s < end; ++s) {
            const std::uint8_t b = table.control(s);
            if (s >= table.slots()) {
                c.spare_written += b != EMPTY;
            } else if (b == DELETED) {
                ++c.deleted;
            } else if (b != EMPTY) {
                ++c.full;
            }
        }
        return c;
    }

    template <class Table>
    static Counts count(const Table& table) {
        return count(table, 0, table.groups() * GROUP_WIDTH);
    }

    static std::string invariant_violation(const Map& map, const Config& config) {
        std::ostringstream out;
        const auto fail = [&](auto&&... parts) {
            (out << ... << parts);
            return out.str();
        };
        if (map.reserve_fraction() != config.shape.reserve_fraction) return fail("reserve fraction changed");
        if (map.primary_probe_limit() != config.shape.primary_probe_limit) return fail("probe limit changed");
        if (map.seed() != config.seed) return fail("seed changed");

        const FunnelShape shape =
            funnel_shape(FunnelOptions{map.capacity(), map.reserve_fraction(), map.primary_probe_limit()});
        const auto& levels = map.levels();
        const auto& primary = map.primary();
        const auto& fallback = map.fallback();
        if (levels.size() != shape.level_bucket_counts.size()) return fail("level count");
        if (map.max_insertions() != shape.max_insertions) return fail("max_insertions");
        if (primary.slots() != shape.primary_slots || fallback.slots() != shape.fallback_slots)
            return fail("special array sizes");
        if (fallback.bucket_count() != shape.fallback_bucket_count || fallback.bucket_width() != shape.fallback_bucket_width)
            return fail("fallback buckets");
        if (!levels.empty() && map.max_populated_level() >= levels.size()) return fail("max_populated_level");

        std::uint64_t slots = primary.slots() + std::uint64_t{fallback.slots()};
        std::uint64_t len = primary.len() + std::uint64_t{fallback.len()};
        for (std::uint32_t i = 0; i < levels.size(); ++i) {
            const auto& level = levels[i];
            if (level.bucket_count() != shape.level_bucket_counts[i] || level.bucket_width() != shape.bucket_width)
                return fail("level ", i, " buckets");
            const Counts c = count(level.table());
            if (c.full != level.len()) return fail("level ", i, ": ", c.full, " full bytes, len ", level.len());
            if (c.deleted > level.tombstones()) return fail("level ", i, ": more DELETED bytes than tombstones");
            if (c.spare_written != 0) return fail("level ", i, " spare byte written");
            if (i > map.max_populated_level() && level.len() != 0)
                return fail("level ", i, " above max_populated_level holds entries");
            slots += level.slots();
            len += level.len();
        }
        if (slots != map.capacity()) return fail("regions hold ", slots, " slots, capacity ", map.capacity());
        if (len != map.len()) return fail("regions hold ", len, " entries, len ", map.len());

        const Counts pc = count(primary.table());
        if (pc.full != primary.len()) return fail("primary: ", pc.full, " full bytes, len ", primary.len());
        if (pc.spare_written != 0) return fail("primary spare byte written");
        for (std::uint32_t g = 0; g < primary.groups(); ++g) {
            const Counts gc = count(primary.table(), g * GROUP_WIDTH, (g + 1) * GROUP_WIDTH);
            if (gc.deleted > primary.group_tombstones()[g]) return fail("primary group ", g, " tombstones");
        }
        const Counts fc = count(fallback.table());
        if (fc.full != fallback.len()) return fail("fallback: ", fc.full, " full bytes, len ", fallback.len());
        if (fc.spare_written != 0) return fail("fallback spare byte written");
        if (fc.deleted > fallback.tombstones()) return fail("fallback tombstones");

        std::string broken;
        std::map<std::uint64_t, std::uint32_t> outside;
        for_each_location(map, [&](Location loc, const auto& entry) {
            if (!broken.empty()) return;
            const MapHash h = map.hash_key(entry.key);
            const auto& table = loc.region == FunnelRegion::level     ? levels[loc.level].table()
                                : loc.region == FunnelRegion::primary ? primary.table()
                                                                      : fallback.table();
            if (table.control(loc.slot) != h.tag()) {
                broken = fail("entry ", code(loc), " has a wrong tag");
            } else if (loc.region == FunnelRegion::primary &&
                       !primary.tag_filters()[loc.slot / GROUP_WIDTH].contains(h.tag())) {
                broken = fail("primary tag filter lacks the tag of slot ", loc.slot);
            } else if (map.find(entry.key, h) != std::optional(loc)) {
                broken = fail("key ", entry.key.id(), " at ", code(loc), " not found there");
            } else if (!map.is_rule_location(h, loc)) {
                ++outside[h.value];
                if (!map.overflow_index().saturated() &&
                    !map.overflow_index().any_of(h.value, [&](Location recorded) { return recorded == loc; })) {
                    broken = fail("entry ", code(loc), " outside its places is not in the overflow index");
                }
            }
        });
        if (!broken.empty()) return broken;
        const auto& overflow = map.overflow_index();
        if (!overflow.saturated()) {
            std::size_t recorded = 0;
            for (const auto& [hash, n] : outside) {
                if (overflow.count(hash) != n) return fail("overflow index miscounts hash ", hash);
                recorded += n;
            }
            if (overflow.size() != recorded) return fail("overflow index records entries that are in place");
        }
        return "";
    }
};

}  // namespace quorvel::fuzz
