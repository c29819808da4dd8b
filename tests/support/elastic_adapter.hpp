// How the interpreter drives an ElasticHashMap: options from the header,
// the growth budget, entry-order walks and the map's structural invariants.
//
// Invariants checked on a full check:
//   - the level sizes, quotas and max_insertions are exactly those of a
//     fresh map of the current capacity and effective reserve fraction;
//     the effective options and the seed never change, across rebuilds too;
//   - per level: full control bytes = live, DELETED bytes <= removed <=
//     slots/2 (the purge bound), spare bytes past the last slot EMPTY, no
//     entry above max_level;
//   - len = sum of live; the batch cursor lies within the quotas and
//     quota_left within its batch's quota;
//   - every entry carries its key's tag and is found where it sits.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "census.hpp"
#include "common/control.hpp"
#include "elastic/elastic_map.hpp"
#include "interpreter.hpp"

namespace quorvel::fuzz {

struct ElasticAdapter {
    using Map = ElasticHashMap<FuzzKey, FuzzValue>;
    using Location = Map::Location;


    struct Config {
        ElasticOptions options;
        double reserve_fraction;  // effective
        double probe_scale;       // effective
        std::uint64_t seed = 0;
    };

    // Reserve fractions: the default, both clamps and past them, non-finite
    // and subnormal values, then an even spread over (0, 1).
    static double decode_reserve_fraction(std::uint8_t b) noexcept {
        constexpr double inf = std::numeric_limits<double>::infinity();
        static constexpr double special[] = {
            0.1, 0.5, 0.999999, 1.0, 2.0, 1e-6, 1e-7, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf,
            0.125, 0.00390625, 0.001, 0.9, 0.25, 0.75, 1.0 / 3.0, 5e-324, 0.05, 0.01, 0.2, 0.99};
        constexpr unsigned n = sizeof special / sizeof special[0];
        if (b < n) return special[b];
        return (b - n + 0.5) / (256.0 - n);
    }

    static double decode_probe_scale(std::uint8_t b) noexcept {
        constexpr double inf = std::numeric_limits<double>::infinity();
        static constexpr double special[] = {16.0, 4.0,   1.0,  0.5, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                                             inf,  1e-300, 5e-324, 1e6, 1e300, 64.0, 2.0, 8.0, 100.0};
        constexpr unsigned n = sizeof special / sizeof special[0];
        if (b < n) return special[b];
        return 0.25 * (b - n + 1);
    }

    static Config decode(std::uint8_t capacity, std::uint8_t reserve_fraction, std::uint8_t probe) noexcept {
        const ElasticOptions options{decode_reserve_fraction(reserve_fraction), decode_probe_scale(probe),
                                     decode_capacity(capacity)};
        return Config{options, elastic::effective_reserve_fraction(options.reserve_fraction),
                      elastic::effective_probe_scale(options.probe_scale)};
    }

    static Map make(Config& config, std::uint64_t seed) {
        config.seed = seed;
        return Map::with_options_and_hasher(config.options, seed);
    }

    // Slots of every map a rebuild of `entries` entries at `capacity` builds.
    static std::optional<std::uint64_t> rebuild_slots(std::uint32_t capacity, std::uint32_t entries, double delta) {
        try {
            const auto chain = elastic::rebuild_capacities(capacity, entries, delta);
            return std::accumulate(chain.begin(), chain.end(), std::uint64_t{0});
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
    }

    // Whether adding a new key keeps the map within the slot budget.
    static bool growth_fits(const Map& map, const FuzzKey&) {
        if (map.len() < map.max_insertions()) return true;
        const auto slots =
            rebuild_slots(grown_capacity(map.capacity()), map.len(), map.reserve_fraction());
        return slots && *slots <= kSlotBudget;
    }

    static bool resize_fits(const Map& map, std::uint32_t capacity) {
        const auto slots = rebuild_slots(capacity, map.len(), map.reserve_fraction());
        return slots && *slots <= kSlotBudget;
    }

    // A removal never rebuilds the map.
    static bool rebuilds_on_removal(const Map&, Location) { return false; }

    // The slot choice is internal to the elastic map.
    static std::optional<Location> chosen_slot(const Map&, const FuzzKey&) { return std::nullopt; }

    static std::uint64_t code(Location loc) noexcept { return (std::uint64_t{loc.level} << 32) | loc.slot; }

    template <class F>
    static void for_each_location(const Map& map, F&& f) {
        for (auto it = map.begin(); it != map.end(); ++it) f(it.location(), *it);
    }

    static std::optional<Location> nth_location(const Map& map, std::uint32_t n) {
        auto it = map.begin();
        for (; it != map.end() && n != 0; ++it, --n) {
        }
        if (it == map.end()) return std::nullopt;
        return it.location();
    }

    static std::string invariant_violation(const Map& map, const Config& config) {
        std::ostringstream out;
        const auto fail = [&](auto&&... parts) {
            (out << ... << parts);
            return out.str();
        };
        if (map.reserve_fraction() != config.reserve_fraction) return fail("reserve fraction changed");
        if (map.probe_scale() != config.probe_scale) return fail("probe scale changed");
        if (map.seed() != config.seed) return fail("seed changed");

        const std::uint32_t n = map.capacity();
        const double delta = map.reserve_fraction();
        const std::vector<std::uint32_t> sizes = elastic::level_sizes(n);
        const auto& levels = map.levels();
        if (levels.size() != sizes.size()) return fail("level count ", levels.size(), " for capacity ", n);
        if (map.max_insertions() != elastic::max_insertions(n, delta)) return fail("max_insertions");
        const auto& quotas = map.quotas();
        if (quotas != elastic::batch_quotas(sizes, n, delta)) return fail("quotas differ from a fresh map's");
        if (quotas.empty()) {
            if (map.batch() != 0 || map.quota_left() != 0) return fail("batch state without quotas");
        } else {
            if (map.batch() >= quotas.size()) return fail("batch ", map.batch(), " past the quotas");
            if (map.quota_left() > quotas[map.batch()]) return fail("quota_left above its batch's quota");
        }
        if (!levels.empty() && map.max_level() >= levels.size()) return fail("max_level past the levels");

        std::uint64_t live = 0;
        for (std::uint32_t i = 0; i < levels.size(); ++i) {
            const auto& level = levels[i];
            if (level.slots() != sizes[i]) return fail("level ", i, " has ", level.slots(), " slots");
            if (level.fill_threshold() != elastic::fill_threshold(level.slots(), delta))
                return fail("level ", i, " fill threshold");
            std::uint32_t full = 0, deleted = 0;
            for (std::uint32_t s = 0; s < level.groups() * GROUP_WIDTH; ++s) {
                const std::uint8_t c = level.control(s);
                if (s >= level.slots()) {
                    if (c != EMPTY) return fail("level ", i, " spare control byte ", s, " written");
                } else if (c == DELETED) {
                    ++deleted;
                } else if (c != EMPTY) {
                    ++full;
                }
            }
            if (full != level.live()) return fail("level ", i, ": ", full, " full bytes, live ", level.live());
            if (deleted > level.removed()) return fail("level ", i, ": more DELETED bytes than removals");
            if (i > map.max_level() && level.live() != 0) return fail("level ", i, " above max_level holds entries");
            live += level.live();
        }
        if (live != map.len()) return fail("levels hold ", live, " entries, len ", map.len());

        std::string broken;
        for_each_location(map, [&](Location loc, const auto& entry) {
            if (!broken.empty()) return;
            const MapHash h = map.hash_key(entry.key);
            if (levels[loc.level].control(loc.slot) != h.tag()) {
                broken = fail("entry at ", loc.level, "/", loc.slot, " has a wrong tag");
            } else if (map.find(entry.key, h) != std::optional(loc)) {
                broken = fail("key ", entry.key.id(), " at ", loc.level, "/", loc.slot, " not found there");
            }
        });
        return broken;
    }
};

}  // namespace quorvel::fuzz
