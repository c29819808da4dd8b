// FunnelHashMap: open addressing without reordering, by funnel hashing.
//
// Layout (all sizes from funnel/shape.hpp; n = capacity slots in all):
//
//     levels[0]   b0 buckets of R slots      R = 16, 32 or 48
//     levels[1]   b1 ~ 3/4 b0 buckets
//     ...         (α levels; small maps have many levels of 0 buckets)
//     primary     16-slot groups, a key walks at most P of them
//     fallback    buckets of max(2, 2P) slots, two per key
//     hints       per hash bucket, the levels that keys of the bucket went
//                 to (common/level_hints.hpp): bit i for level i below 30,
//                 bit 30 for the levels from 30 on, bit 31 for the special
//                 array and the overflow index
//     overflow    the entries the rules had no slot for (overflow_index.hpp)
//
// Placement of a new key (choose_slot_for_new_key): the lowest free slot of
// its bucket in the first level, going down the levels, that has one; else
// the first primary group on its walk with a free slot; else the lowest
// free slot of its first, then second, fallback bucket.  An entry never
// moves until the whole map is rebuilt.
//
// Lookup visits the levels the key's bucket names, ascending (no other
// level can hold the key), then the special array and the overflow index
// only when the bucket names them.  It stops as soon as the rules say the
// key cannot be further on: at a level window or primary group still
// holding an EMPTY slot (EMPTY only returns through clear or rebuild, and
// placements fill the first free slot of the first window or group that
// has one, so nothing placed after that window can have passed it).  Tags
// are matched 16 at a time before any key is compared.  An insertion does
// its lookup and its search for a free slot in one pass over the levels.
//
// When the rules have no slot for a new key, the map either grows or puts
// the key in any free slot and records it in the overflow index; under
// churn it settles itself by a rebuild at the same capacity when misses
// have grown dear.  funnel/insertion.hpp says when each happens.
//
// Removal leaves a DELETED byte and counts a tombstone in its region.  It
// never rebuilds the map: lookups end at EMPTY slots, which removals do not
// take away, so a DELETED slot costs no lookup more than the entry before it
// did.  What churn does cost lookups is the hint words, which gain bits as
// keys come and never lose them as keys go, and the keys the rules cannot
// place: that is what settling restores.  A removal therefore cannot fail,
// and costs its lookup and one byte.  Growth rebuilds at twice the capacity
// once `len` has reached `max_insertions`.  A rebuild builds the new tables
// first (if that fails the map is untouched), then moves every entry over in
// entry order without comparing keys; entries the rules cannot place go to
// overflow placement last, so no entry is ever lost.
//
// Entry order (iteration, popitem, rebuild): levels by index, then the
// primary, then the fallback, each by ascending slot.
//
// Key equality may throw to abort an operation; keys are compared only
// before anything is changed.  K and V must move without throwing.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/control.hpp"
#include "common/errors.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/table_scan.hpp"
#include "common/level_hints.hpp"
#include "common/map_core.hpp"
#include "common/paired_walk.hpp"
#include "common/probe_counter.hpp"
#include "common/seed.hpp"
#include "common/sizing.hpp"
#include "funnel/bucket_level.hpp"
#include "funnel/entry_order.hpp"
#include "funnel/options.hpp"
#include "funnel/overflow_index.hpp"
#include "funnel/shape.hpp"
#include "funnel/slot_location.hpp"
#include "funnel/special_fallback.hpp"
#include "funnel/special_primary.hpp"

namespace quorvel {

template <MapKey K, class V>
class FunnelHashMap : public MapCore<FunnelHashMap<K, V>, K, V> {
    static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                  "a rebuild moves every entry and must not fail half way");
    static_assert(std::is_move_assignable_v<V>, "replacing a value move-assigns it");
    using Core = MapCore<FunnelHashMap<K, V>, K, V>;
    friend Core;

public:
    using Location = SlotLocation;
    using EntryType = Entry<K, V>;
    using Level = BucketLevel<K, V>;
    using Primary = SpecialPrimary<K, V>;
    using Fallback = SpecialFallback<K, V>;

    // The hint bits of the levels from 30 on and of the special array.
    static constexpr std::uint32_t DEEP_HINT = 30;
    static constexpr std::uint32_t SPECIAL_HINT = 31;
    // The share by which the estimated cost of a miss may grow under churn
    // before the map rebuilds itself to restore it.
    static constexpr double STEADY_SLACK = 0.3;

    // How many entries a map built with `options` holds before it grows.
    static std::uint32_t max_insertions_for(const FunnelOptions& options) { return funnel_shape(options).max_insertions; }

    static FunnelHashMap with_options_and_hasher(const FunnelOptions& options, std::uint64_t seed) {
        return FunnelHashMap(funnel_shape(options), seed, GlobalSeed::get());
    }
    // The same with an explicit global seed, so that a test or a measurement
    // can replay one exact layout.
    static FunnelHashMap with_options_and_hasher(const FunnelOptions& options, std::uint64_t seed,
                                                 std::uint64_t global_seed) {
        return FunnelHashMap(funnel_shape(options), seed, global_seed);
    }

    FunnelHashMap(FunnelHashMap&& other) noexcept
        : Core(other.seed_, other.global_seed_),
          levels_(std::move(other.levels_)),
          primary_(std::move(other.primary_)),
          fallback_(std::move(other.fallback_)),
          hints_(std::exchange(other.hints_, LevelHints())),
          overflow_(std::exchange(other.overflow_, OverflowIndex{})),
          primary_probe_limit_(other.primary_probe_limit_),
          max_populated_level_(std::exchange(other.max_populated_level_, 0)),
          first_hint_(std::exchange(other.first_hint_, 0)),
          free_cursor_(std::exchange(other.free_cursor_, 0)),
          last_freed_(std::exchange(other.last_freed_, std::nullopt)),
          churned_(std::exchange(other.churned_, false)),
          settled_cost_(std::exchange(other.settled_cost_, 0.0)),
          settled_len_(std::exchange(other.settled_len_, 0)),
          reserve_fraction_(other.reserve_fraction_) {
        this->take_core(other);
    }

    FunnelHashMap& operator=(FunnelHashMap&& other) noexcept {
        if (this != &other) {
            std::destroy_at(this);
            std::construct_at(this, std::move(other));
        }
        return *this;
    }

    FunnelHashMap(const FunnelHashMap&) = delete;
    FunnelHashMap& operator=(const FunnelHashMap&) = delete;

    ~FunnelHashMap() { release_entries_in_order(); }

    // ---- sizes and options --------------------------------------------------

    double reserve_fraction() const noexcept { return reserve_fraction_; }
    std::uint32_t primary_probe_limit() const noexcept { return primary_probe_limit_; }
    std::uint32_t max_populated_level() const noexcept { return max_populated_level_; }
    // Whether an entry was removed since the map was built empty or cleared.
    bool churned() const noexcept { return churned_; }

    const std::vector<Level>& levels() const noexcept { return levels_; }
    const Primary& primary() const noexcept { return primary_; }
    const Fallback& fallback() const noexcept { return fallback_; }
    const OverflowIndex& overflow_index() const noexcept { return overflow_; }
    const LevelHints& level_hints() const noexcept { return hints_; }
    double settled_cost() const noexcept { return settled_cost_; }

    // The estimated groups a miss examines: the levels that the hints name
    // for a random bucket, a window each; the levels from DEEP_HINT on, all
    // of them for a bucket that names them; and where the special array is
    // named, its primary walk (up to the probe limit, since churn takes the
    // primary's EMPTY slots first) and the two fallback buckets.
    double miss_cost() const noexcept {
        if (levels_.empty()) return 0.0;
        const double window = levels_.front().groups_per_bucket();
        const double deep_levels = max_populated_level_ >= DEEP_HINT ? max_populated_level_ - DEEP_HINT + 1 : 1;
        const double named_levels = hints_.mean_named() - hints_.share(DEEP_HINT) - hints_.share(SPECIAL_HINT);
        return window * (named_levels + deep_levels * hints_.share(DEEP_HINT)) +
               (primary_probe_limit_ + 2.0) * hints_.share(SPECIAL_HINT);
    }

    std::size_t allocated_bytes() const noexcept {
        std::size_t bytes = levels_.capacity() * sizeof(Level);
        for (const Level& level : levels_) bytes += level.allocated_bytes();
        return bytes + primary_.allocated_bytes() + fallback_.allocated_bytes() + overflow_.allocated_bytes() +
               hints_.allocated_bytes();
    }

    // ---- lookup -------------------------------------------------------------

    // Where `key` is stored: the location, or one that `found` rejects.
    [[gnu::always_inline]] Location find_location(const K& key, MapHash h) const {
        const Location at = locate(key, h);
        ProbeCounter::end_lookup();
        return at;
    }
    static constexpr bool found(Location loc) noexcept { return loc.slot != NO_SLOT; }

    // The same lookup as an optional.
    [[gnu::always_inline]] std::optional<Location> find_slot_location_with_hash(const K& key, MapHash h) const {
        return this->found_or_nothing(key, h);
    }
    static constexpr auto find_slot = &FunnelHashMap::find_slot_location_with_hash;

    // The key's slot in its two fallback buckets, if it is there.
    std::optional<std::uint32_t> find_in_special_fallback(MapHash h, const K& key) const {
        const std::uint32_t slot = fallback_.find(key, h);
        ProbeCounter::discard();
        if (slot == NO_SLOT) return std::nullopt;
        return slot;
    }

    EntryType& entry_at(Location loc) noexcept {
        return visit(*this, loc, [](auto& region, std::uint32_t slot) -> EntryType& { return region.entry(slot); });
    }
    const EntryType& entry_at(Location loc) const noexcept {
        return visit(*this, loc,
                     [](const auto& region, std::uint32_t slot) -> const EntryType& { return region.entry(slot); });
    }

    // Whether `loc` is one of the places the rules could give hash h.
    bool is_rule_location(MapHash h, Location loc) const noexcept {
        switch (loc.region) {
            case FunnelRegion::level: return levels_[loc.level].in_window(h, loc.slot);
            case FunnelRegion::primary: return primary_.in_probe_sequence(h, loc.slot);
            case FunnelRegion::fallback: return fallback_.in_buckets(h, loc.slot);
        }
        return false;
    }

    // ---- placement ----------------------------------------------------------

    // The slot the rules give a new (absent) key, or none.
    std::optional<Location> choose_slot_for_new_key(MapHash h) const noexcept {
        const auto slot = choose_slot(h);
        ProbeCounter::discard();
        return slot;
    }

    std::optional<std::uint32_t> first_free_in_special_primary(MapHash h) const noexcept {
        const auto slot = primary_.first_free(h);
        ProbeCounter::discard();
        return slot;
    }

    // The previous value when the key is present (the stored key is kept and
    // `key` released); otherwise the key is placed, growing the map first
    // when it is due.
    std::optional<V> insert(K key, V value) {
        const MapHash h = this->hash_key(key);
        const InsertProbe probe = probe_for_insert(key, h);
        if (probe.found.slot != NO_SLOT) {
            ProbeCounter::end_lookup();
            return std::exchange(entry_at(probe.found).value, std::move(value));
        }
        if constexpr (counting_probes) {
            // The fused walk counted its windows as the lookup's; a
            // placement is counted as the walk of its own rule would examine
            // them, which is what the placement bounds speak of.
            ProbeCounter::discard();
            (void)choose_slot(h);
        }
        insert_at_location_after_resize_check(probe.vacancy, h, std::move(key), std::move(value));
        return std::nullopt;
    }

    // Places a key the caller knows to be absent; compares no keys.
    void insert_new(K key, V value) {
        const MapHash h = this->hash_key(key);
        insert_at_location_after_resize_check(choose_slot(h), h, std::move(key), std::move(value));
    }

    // ---- removal ------------------------------------------------------------

    // Removes the entry at a known occupied slot; compares no keys.  A
    // DELETED byte stays and the region counts a tombstone.  A removal never
    // rebuilds the map (see the top of the file), so it cannot fail.
    [[gnu::always_inline]] EntryType remove_at(Location loc) noexcept {
        EntryType out = visit(*this, loc, [](auto& region, std::uint32_t slot) { return region.take(slot); });
        // Only an overflowed key needs its hash again, and only while any is recorded.
        if (!overflow_.empty()) overflow_.remove(this->hash_key(out.key).value, loc);
        --this->len_;
        churned_ = true;
        free_cursor_ = std::min(free_cursor_, order_key(loc));
        last_freed_ = loc;
        // Only a removal from the highest populated level can lower it.
        if (loc.region == FunnelRegion::level && loc.level == max_populated_level_) {
            while (max_populated_level_ > 0 && levels_[max_populated_level_].len() == 0) --max_populated_level_;
        }
        return out;
    }

    // ---- rebuild and clear --------------------------------------------------

    // Rebuilds the map at `new_capacity` with the same seed, reserve fraction
    // and probe limit.  The new tables are built before anything moves: if
    // that throws, this map is unchanged.  Moving the entries cannot fail.
    // Defined in funnel/insertion.hpp.
    void resize(std::uint32_t new_capacity);

    // Releases every entry in entry order; keeps the capacity and every table.
    void clear() noexcept {
        for (Level& level : levels_) level.clear();
        primary_.clear();
        fallback_.clear();
        this->len_ = 0;
        reset_placements();
    }

    // ---- entry order --------------------------------------------------------

    // The first full slot at or after `from` in entry order.
    std::optional<Location> first_location_from(Location from) const noexcept {
        return funnel::first_occupied(levels_, primary_, fallback_, from);
    }

    std::optional<Location> next_location(Location after) const noexcept {
        return first_location_from(Location{after.region, after.level, after.slot + 1});
    }

    // The full slots of `loc`'s group after `loc`, as bits of the group
    // (bit j: slot 16 * (loc.slot / 16) + j): the entries a walk in entry
    // order meets next without a search.
    std::uint32_t full_slots_after(Location loc) const noexcept {
        return visit(*this, loc, [](const auto& region, std::uint32_t slot) {
            return full_slots(region.table(), slot / GROUP_WIDTH).bits() & (FULL_GROUP_MASK << (slot % GROUP_WIDTH + 1));
        });
    }

    // The full slots of group `group` of the region `in` is in, as group
    // bits; none past the region's last group.
    std::uint32_t full_slots_of_group(Location in, std::uint32_t group) const noexcept {
        return visit(*this, in, [group](const auto& region, std::uint32_t) {
            const auto& table = region.table();
            return group < table.groups() ? full_slots(table, group).bits() : 0u;
        });
    }

    // The first entry in entry order.  The search starts at a remembered
    // position before which no entry lies, so emptying a map by repeated
    // popitem does not rescan the slots it has already emptied.
    std::optional<Location> first_location() noexcept {
        const std::optional<Location> found = first_location_from(location_of(first_hint_));
        if (found) first_hint_ = order_key(*found);
        return found;
    }

    // f(key, value) for every entry, in entry order; ahead(entry) for the
    // entries a few groups before f reaches them (table_scan.hpp).
    template <class F, class Ahead = NoLookahead>
    void for_each(F&& f, Ahead ahead = {}) const {
        funnel::for_each_occupied(
            levels_, primary_, fallback_, [&](Location, const EntryType& entry) { f(entry.key, entry.value); },
            ahead);
    }

private:
    // "Not found" on the lookup path.
    static constexpr Location NOT_FOUND{FunnelRegion::fallback, 0, NO_SLOT};
    // The hint bits of the levels below DEEP_HINT.
    static constexpr std::uint32_t LEVEL_HINTS = (std::uint32_t{1} << DEEP_HINT) - 1;

    FunnelHashMap(const FunnelShape& shape, std::uint64_t seed, std::uint64_t global_seed)
        : Core(seed, global_seed),
          primary_(shape.primary_slots, shape.primary_probe_limit),
          fallback_(shape.fallback_slots, shape.fallback_bucket_width, shape.fallback_bucket_count),
          hints_(shape.capacity),
          primary_probe_limit_(shape.primary_probe_limit),
          reserve_fraction_(shape.reserve_fraction) {
        this->capacity_ = shape.capacity;
        this->max_insertions_ = shape.max_insertions;
        levels_.reserve(shape.level_bucket_counts.size());
        for (std::uint32_t i = 0; i < shape.level_bucket_counts.size(); ++i) {
            levels_.emplace_back(i, shape.level_bucket_counts[i], shape.bucket_width);
        }
    }

    static constexpr std::uint32_t hint_bit(Location loc) noexcept {
        return loc.region == FunnelRegion::level ? std::min(loc.level, DEEP_HINT) : SPECIAL_HINT;
    }

    // f(region, slot) with the region `loc` names: the one place that turns
    // a location into its region.
    template <class Self, class F>
    [[gnu::always_inline]] static decltype(auto) visit(Self& self, Location loc, F&& f) {
        switch (loc.region) {
            case FunnelRegion::level: return f(self.levels_[loc.level], loc.slot);
            case FunnelRegion::primary: return f(self.primary_, loc.slot);
            case FunnelRegion::fallback: break;
        }
        return f(self.fallback_, loc.slot);
    }

    // ---- lookup ---------------------------------------------------------------

    // The one lookup walk: the named levels, then what the bucket keeps
    // outside them.
    [[gnu::always_inline]] Location locate(const K& key, MapHash h) const {
        const std::uint32_t named = hints_.candidates(h);
        const Group::Needle needle = Group::needle(h.tag());
        // All levels share one bucket width.  Buckets of 16 slots (reserve
        // fractions from 1/256 up) make every window one group, and of 32
        // slots (down to 2^-16) two: the walk then needs no group loop.
        const std::uint32_t groups = levels_.empty() ? 0 : levels_.front().groups_per_bucket();
        const LevelSearch levels = groups == 1   ? locate_in_levels<1>(key, h, needle, named)
                                   : groups == 2 ? locate_in_levels<2>(key, h, needle, named)
                                                 : locate_in_levels<0>(key, h, needle, named);
        if (levels.over) return levels.found;
        if ((named >> SPECIAL_HINT) != 0) return locate_outside_levels(key, h);
        return NOT_FOUND;
    }

    struct LevelSearch {
        Location found;
        bool over;  // found, or an EMPTY slot showed the key is absent
    };

    template <std::uint32_t Groups>
    [[gnu::always_inline]] LevelSearch locate_in_levels(const K& key, MapHash h, Group::Needle needle,
                                                        std::uint32_t named) const {
        if constexpr (Groups != 0 && !counting_probes) {
            if (reads_levels_in_pairs<EntryType, paired_walk_min_slots<K>>(this->capacity_)) {
                return locate_in_level_pairs<Groups>(key, h, needle, named);
            }
        }
        const Level* const levels = levels_.data();
        for (std::uint32_t left = named & LEVEL_HINTS; left != 0; left &= left - 1) {
            const auto i = static_cast<std::uint32_t>(std::countr_zero(left));
            const Level& level = levels[i];
            const WindowProbe probe = level.template find<Groups>(key, h, needle);
            if (probe.slot != NO_SLOT) return {Location::level_slot(i, probe.slot), true};
            if (probe.ends) return {NOT_FOUND, true};
        }
        if ((named >> DEEP_HINT) & 1u) return locate_in_deep_levels(key, h, needle);
        return {NOT_FOUND, false};
    }

    // The walk over windows of one or two groups, two named levels at a
    // time, in maps of the size where that pays (common/paired_walk.hpp).
    // The windows of two levels are read together and their candidates
    // tried as one mask, the second level's only when the first window has
    // no EMPTY slot - when the walk would reach it.  Keys are compared in
    // the walk's order, and no key the walk would not compare, so this is
    // the same walk for any key type; it only reads the second window a
    // little early, or in vain when the first ends the walk.
    template <std::uint32_t Groups>
    [[gnu::always_inline]] LevelSearch locate_in_level_pairs(const K& key, MapHash h, Group::Needle needle,
                                                             std::uint32_t named) const {
        constexpr std::uint32_t width = Groups * GROUP_WIDTH;
        const Level* const levels = levels_.data();
        for (std::uint32_t left = named & LEVEL_HINTS; left != 0;) {
            const auto i = static_cast<std::uint32_t>(std::countr_zero(left));
            left &= left - 1;
            // With one level left, its window stands in for the second and
            // is masked out like a window the walk does not reach.
            const bool pair = left != 0;
            const std::uint32_t j = pair ? static_cast<std::uint32_t>(std::countr_zero(left)) : i;
            left &= left - 1;
            const typename Level::Window first = levels[i].template read_window<Groups>(h, needle);
            const typename Level::Window second = levels[j].template read_window<Groups>(h, needle);
            const bool reached = pair & !first.ends;
            const std::uint64_t both = first.matches | ((second.matches & (0u - std::uint64_t{reached})) << width);
            for (std::uint64_t left_bits = both; left_bits != 0; left_bits &= left_bits - 1) {
                const auto bit = static_cast<std::uint32_t>(std::countr_zero(left_bits));
                const std::uint32_t in_second = 0u - (bit / width);
                const std::uint32_t level = i ^ ((i ^ j) & in_second);
                const std::uint32_t slot = (first.base ^ ((first.base ^ second.base) & in_second)) + bit % width;
                if (KeyOps<K>::equal(levels[level].entry(slot).key, key)) {
                    return {Location::level_slot(level, slot), true};
                }
            }
            if (first.ends | (reached & second.ends)) return {NOT_FOUND, true};
        }
        if ((named >> DEEP_HINT) & 1u) return locate_in_deep_levels(key, h, needle);
        return {NOT_FOUND, false};
    }

    // The levels from DEEP_HINT on share one bit: all of them up to the
    // highest populated one are searched (maps of reserve fraction below
    // about 1/180 have that many levels; few keys get there).
    [[gnu::noinline]] LevelSearch locate_in_deep_levels(const K& key, MapHash h, Group::Needle needle) const {
        const auto searched = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(levels_.size(), std::uint64_t{max_populated_level_} + 1));
        for (std::uint32_t i = DEEP_HINT; i < searched; ++i) {
            const Level& level = levels_[i];
            if (level.len() == 0) continue;
            const WindowProbe probe = level.template find<0>(key, h, needle);
            if (probe.slot != NO_SLOT) return {Location::level_slot(i, probe.slot), true};
            if (probe.ends) return {NOT_FOUND, true};
        }
        return {NOT_FOUND, false};
    }

    // The primary walk, the two fallback buckets, then the overflow index.
    [[gnu::noinline]] Location locate_outside_levels(const K& key, MapHash h) const {
        const WindowProbe primary = primary_.find(key, h);
        if (primary.slot != NO_SLOT) return Location::primary_slot(primary.slot);
        if (primary.ends) return NOT_FOUND;
        if (const std::uint32_t slot = fallback_.find(key, h); slot != NO_SLOT) return Location::fallback_slot(slot);
        if (overflow_.empty()) return NOT_FOUND;
        return locate_overflowed(key, h);
    }

    Location locate_overflowed(const K& key, MapHash h) const {
        Location found = NOT_FOUND;
        if (overflow_.saturated()) {
            walk_entries(*this, [&](Location loc, const EntryType& entry) {
                if (found.slot == NO_SLOT && this->hash_key(entry.key).value == h.value &&
                    KeyOps<K>::equal(entry.key, key)) {
                    found = loc;
                }
            });
            return found;
        }
        overflow_.any_of(h.value, [&](Location loc) {
            ProbeCounter::group();
            if (!KeyOps<K>::equal(entry_at(loc).key, key)) return false;
            found = loc;
            return true;
        });
        return found;
    }

    // ---- insertion ------------------------------------------------------------

    // What one pass over the levels found for an insertion: the key, or else
    // the slot choose_slot_for_new_key gives it (none when no level has one
    // and neither has the special array).
    struct InsertProbe {
        Location found = NOT_FOUND;
        std::optional<Location> vacancy;
    };

    // Defined in funnel/insertion.hpp.
    InsertProbe probe_for_insert(const K& key, MapHash h) const;
    template <std::uint32_t Groups>
    [[gnu::always_inline]] bool probe_levels_for_insert(const K& key, MapHash h, std::uint32_t named,
                                                        InsertProbe& out) const;
    template <std::uint32_t Groups>
    [[gnu::always_inline]] bool probe_unchurned_levels(const K& key, MapHash h, Group::Needle needle,
                                                       std::uint32_t named, InsertProbe& out) const;
    std::optional<Location> choose_slot(MapHash h) const noexcept;
    std::optional<Location> choose_outside_levels(MapHash h) const noexcept;

    // Grows first when the map holds max_insertions entries, or when the
    // rules have no slot for a map being filled (see funnel/insertion.hpp);
    // a key the rules cannot place (even after growing) takes the first
    // free slot of the map and is recorded in the overflow index.
    [[gnu::always_inline]] void insert_at_location_after_resize_check(std::optional<Location> location, MapHash h,
                                                                      K key, V value) {
        // The common case - a fresh map with room and a slot - inline; the
        // rest (churn, growth, no slot) out of line.
        if (location && !churned_ && this->len_ < this->max_insertions_) {
            ProbeCounter::end_insertion();
            place_new_entry(*location, h, std::move(key), std::move(value));
            return;
        }
        insert_in_any_case(location, h, std::move(key), std::move(value));
    }

    // Defined in funnel/insertion.hpp.
    [[gnu::noinline]] void insert_in_any_case(std::optional<Location> location, MapHash h, K key, V value);
    bool settle_due() noexcept;
    bool try_settle() noexcept;
    void place_stranded(MapHash h, EntryType&& entry) noexcept;
    std::optional<Location> overflow_slot() noexcept;
    std::optional<Location> first_free_anywhere() noexcept;

    // Stores an entry at a free slot the rules chose and keeps every count.
    template <class... Args>
    [[gnu::always_inline]] void place_new_entry(Location loc, MapHash h, Args&&... args) noexcept {
        place_with_hint(loc, h, hint_bit(loc), std::forward<Args>(args)...);
    }

    // The same, naming hint `bit` for the key's bucket: the region's own for
    // a placement by the rules, SPECIAL_HINT for an overflowed entry.
    template <class... Args>
    [[gnu::always_inline]] void place_with_hint(Location loc, MapHash h, std::uint32_t bit, Args&&... args) noexcept {
        visit(*this, loc, [&](auto& region, std::uint32_t slot) { region.place(slot, h.tag(), std::forward<Args>(args)...); });
        if (loc.region == FunnelRegion::level) max_populated_level_ = std::max(max_populated_level_, loc.level);
        (void)hints_.note(h, bit);
        first_hint_ = std::min(first_hint_, order_key(loc));
        ++this->len_;
    }

    // Moves an entry out for a rebuild: the slot becomes EMPTY and the counts
    // follow.
    EntryType relocate_out(Location loc) noexcept {
        --this->len_;
        return visit(*this, loc, [](auto& region, std::uint32_t slot) { return region.relocate_out(slot); });
    }

    // No entry placed, no removal counted: the state of a new map.
    void reset_placements() noexcept {
        overflow_.clear();
        hints_.clear();
        max_populated_level_ = 0;
        first_hint_ = 0;
        free_cursor_ = 0;
        last_freed_.reset();
        churned_ = false;
        settled_cost_ = 0.0;
        settled_len_ = 0;
    }

    // f(location, entry) for every entry in entry order; f may empty the
    // slot it is given.
    template <class Self, class F>
    static void walk_entries(Self& self, F&& f) {
        funnel::for_each_occupied(self.levels_, self.primary_, self.fallback_, std::forward<F>(f));
    }

    // Entries are released in entry order, before any table is freed.
    void release_entries_in_order() noexcept {
        for (Level& level : levels_) level.release_entries();
        primary_.release_entries();
        fallback_.release_entries();
    }

    std::vector<Level> levels_;
    Primary primary_;
    Fallback fallback_;
    LevelHints hints_;
    OverflowIndex overflow_;
    std::uint32_t primary_probe_limit_ = 1;
    std::uint32_t max_populated_level_ = 0;
    // Positions in entry order, kept as their order keys: placement and
    // removal compare every slot they touch against them.
    std::uint64_t first_hint_ = 0;   // no entry lies before it
    std::uint64_t free_cursor_ = 0;  // no free slot lies before it
    std::optional<Location> last_freed_;  // the slot of the latest removal, if not reused since
    bool churned_ = false;    // a removal since the map was built empty or cleared
    double settled_cost_ = 0.0;  // miss_cost() when the map last settled; 0: not yet
    std::uint32_t settled_len_ = 0;
    double reserve_fraction_ = DEFAULT_RESERVE_FRACTION;
};

}  // namespace quorvel

// The insertion path, defined out of the class.
#include "funnel/insertion.hpp"  // IWYU pragma: export
