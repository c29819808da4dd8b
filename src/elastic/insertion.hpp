// The insertion path of an elastic map, defined out of the class so that
// elastic_map.hpp reads as the map's state and interface: placement by the
// batches, the steady state at the fill limit, growth and the rebuilds.
//
// Insertion of a new key.  Batch b fills levels b-1 and b.  While level b-1
// is above its fill threshold and level b is under three quarters full, a
// key first tries level b-1 within a probe budget that grows as b-1 fills,
// then level b; once level b is three quarters full, b-1 is searched in full
// first; once b-1 is down to its threshold, b comes first.  When len has
// reached max_insertions, the map first rebuilds itself at twice the
// capacity (16 from 0).
//
// The steady state.  Once the batches are spent - a map kept at its fill
// limit, where each new key follows a removal - the batch attempts look only
// at the smallest levels, which are full, and the key must go somewhere the
// lookups still find it.  It goes where it costs lookups least:
//
//   1. within the bound of its cell in some level (it raises no bound, so
//      no lookup walks further than before), levels its bucket names first
//      (no lookup visits a level more), lowest level first;
//   2. else at the free slot, over every level's sequence, that adds least
//      to the expected cost of a miss (steady_slot says how that is
//      counted).
//
// The second raises one cell's bound, and a key in a new level adds one
// level to its bucket's lookups; and hint bits of keys since removed stay
// set.  So lookups slowly grow dearer.  The map keeps an estimate of what a
// miss costs (miss_cost) and when it has grown past 1 + STEADY_SLACK times
// its value after the map last settled, the next new key that the batches
// cannot place first rebuilds the map at its capacity.  That rebuild takes
// the entries in a shuffled order, so that they land as a fresh fill of
// keys arriving at random would place them: the entry order of a churned
// map follows the start groups of its old layout, and entries re-placed in
// that order, or in any regular order through it, pack less well.  The estimate after such a rebuild, or when the
// batches first ran out, is the one it is measured against.  Removal and
// insertion thus keep the lookups within a fixed share of their cost after
// the fill, however long the map is churned.
//
// Rebuilds.  A rebuild builds every table it needs before it touches an
// entry, so a failure (out of memory, a layout that cannot exist) leaves the
// map exactly as it was.  It then moves the entries across in entry order by
// placement alone - the growth check, batch advance and placement of an
// insertion, without the lookup - so no key comparison runs and none can
// lose or duplicate an entry.  When the moved entries outgrow the new map,
// it grows again while they move, exactly as insertions into it would make
// it grow; the tables for those steps are built up front too.
#pragma once

#include "elastic/elastic_map.hpp"

namespace quorvel {

// Growth check, then placement by the batches, else in the steady state.
template <MapKey K, class V>
inline void ElasticHashMap<K, V>::add(MapHash h, K&& key, V&& value) {
    if (this->len_ >= this->max_insertions_) resize(grown_capacity(this->capacity_));
    bool may_rebuild = true;
    for (;;) {
        const BatchCursor cursor = advanced_batch();
        if (const auto target = choose_by_batch(h, cursor.batch)) {
            place(*target, h, cursor, std::move(key), std::move(value));
            return;
        }
        if (may_rebuild && settle_due()) {
            may_rebuild = false;
            if (try_settle()) continue;  // the batches start again
        }
        const auto target = steady_slot(h);
        if (!target) throw InternalError("no free slot below max_insertions");
        place(*target, h, cursor, std::move(key), std::move(value));
        return;
    }
}

// When the current batch's quota is spent, the next batch with a nonzero
// quota; the last one when all are spent.  Read only: it takes effect
// when the key is placed.
template <MapKey K, class V>
inline auto ElasticHashMap<K, V>::advanced_batch() const noexcept -> BatchCursor {
    BatchCursor cursor{batch_, quota_left_};
    if (cursor.quota != 0) return cursor;
    for (std::uint32_t j = batch_ + 1; j < quotas_.size(); ++j) {
        cursor = BatchCursor{j, quotas_[j]};
        if (cursor.quota != 0) break;
    }
    return cursor;
}

template <MapKey K, class V>
inline auto ElasticHashMap<K, V>::full_probe(std::uint32_t i, MapHash h) const noexcept -> std::optional<Target> {
    if (const auto at = levels_[i].first_free_uniform(h)) return Target{i, at};
    return std::nullopt;
}

template <MapKey K, class V>
inline auto ElasticHashMap<K, V>::limited_probe(std::uint32_t i, MapHash h) const noexcept -> std::optional<Target> {
    const Level& level = levels_[i];
    if (const auto at = level.first_free(h, level.probe_limits().budget(level.free_slots()))) return Target{i, at};
    return std::nullopt;
}

// The attempts of the placement table for batch b, in order; the first
// that finds a free slot decides.
template <MapKey K, class V>
inline auto ElasticHashMap<K, V>::choose_by_batch(MapHash h, std::uint32_t b) const noexcept -> std::optional<Target> {
    const auto n = static_cast<std::uint32_t>(levels_.size());
    if (n == 0) return std::nullopt;
    if (b == 0) return full_probe(0, h);
    if (b >= n) return full_probe(n - 1, h);
    const auto either = [&](std::uint32_t first, std::uint32_t second) __attribute__((always_inline)) {
        if (const auto loc = full_probe(first, h)) return loc;
        return full_probe(second, h);
    };
    if (levels_[b - 1].free_slots() <= levels_[b - 1].fill_threshold()) return either(b, b - 1);
    if (saturate_u32(std::uint64_t{4} * levels_[b].free_slots()) <= levels_[b].slots()) {
        return either(b - 1, b);
    }
    if (const auto loc = limited_probe(b - 1, h)) return loc;
    return either(b, b - 1);
}

// The steady-state placement (see the top of the file): the free slot
// that adds least to the expected cost of a miss.  A slot within the
// bound of its cell in a level the bucket names costs nothing, and is
// taken at once; any other costs what it adds to a random miss: a new
// level for the bucket (1 / buckets), and the raise of its cell's bound
// beyond the old one (the share of lookups visiting the level times the
// raise over the level's cells).  The slot is the cheapest free one over
// every level's probe sequence, the lowest level on a tie, and no group is
// examined that costs more than a slot already found.  It exists: the map
// is below its capacity, so some level has a free slot, and each sequence
// covers its level.
template <MapKey K, class V>
inline auto ElasticHashMap<K, V>::steady_slot(MapHash h) const noexcept -> std::optional<Target> {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(levels_.size(), MOST_LEVELS));
    const std::uint32_t named = hints_.candidates(h) | 1u;  // level 0 is always searched
    const auto is_named = [&](std::uint32_t i) { return ((named >> hint_bit(i)) & 1u) != 0; };
    for (std::uint32_t i = 0; i < n; ++i) {
        const Level& level = levels_[i];
        if (!is_named(i) || level.free_slots() == 0) continue;
        if (const auto at = level.first_free(h, level.bound(h))) return Target{i, at};
    }
    // Every other candidate: level i at depth d costs
    //     base_i + per_group_i * max(0, d - bound_i),
    // which never falls as d grows, so a level's cheapest free slot is the
    // first free one along its sequence.  The slot taken is the cheapest of
    // those, the lowest level on a tie.  The levels are walked one after
    // the other, each only while its next group costs less than the slot
    // found so far.
    const double new_bit = 1.0 / static_cast<double>(std::max<std::size_t>(hints_.buckets(), 1));
    std::optional<Target> found;
    double found_cost = 0.0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const Level& level = levels_[i];
        if (level.free_slots() == 0) continue;
        const std::uint32_t bound = level.bound(h);
        std::uint32_t depth = is_named(i) ? bound + 1 : 1;  // a named level's bound was searched above
        if (depth > level.groups()) continue;
        const double base = is_named(i) ? 0.0 : new_bit;
        const double per_group = (i == 0 ? 1.0 : hints_.share(hint_bit(i))) / level.lookup_bounds().cells();
        elastic::LevelWalk walk = level.walk_at(h, depth);
        for (;;) {
            const double cost = base + per_group * (depth > bound ? depth - bound : 0);
            if (found && !(cost < found_cost)) break;
            if (const std::uint32_t slot = level.free_in_group(walk.group); slot != NO_SLOT) {
                found = Target{i, elastic::FreeSlot{slot, depth, elastic::LookupBounds::cell(level.start_group(h), h)}};
                found_cost = cost;
                break;
            }
            if (++depth > level.groups()) break;
            level.advance(walk);
        }
    }
    return found;
}

// Whether the steady placements and rebuilds have let the cost of a miss
// grow enough to settle the map again (see the top of the file).  The
// first time the batches run out, the fill's cost becomes the measure.
template <MapKey K, class V>
inline bool ElasticHashMap<K, V>::settle_due() noexcept {
    const double cost = miss_cost();
    if (settled_cost_ == 0.0) {
        settled_cost_ = cost;
        return false;
    }
    return cost > (1.0 + STEADY_SLACK) * settled_cost_;
}

// A rebuild at the same capacity in shuffled order; skipped when it
// cannot get its memory (the steady placement works without it).
template <MapKey K, class V>
inline bool ElasticHashMap<K, V>::try_settle() noexcept {
    try {
        settle();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Moves every entry into a new map of the same capacity, in an order
// shuffled from the entry order, so that consecutive placements fall on
// unrelated start groups, as keys arriving at random do.  A regular order
// does not: entries a fixed stride apart in entry order follow the start
// groups of the old layout in a regular pattern, and a map re-placed that
// way was measured to settle at up to a third above the miss cost of a
// random fill (131,072 slots, delta 0.001), against none for a shuffle.  The
// shuffle is seeded from the map's seed and its rebuild count, so that the
// same history gives the same layout.  The map holds fewer entries than
// max_insertions, so one new map takes them all.
template <MapKey K, class V>
inline void ElasticHashMap<K, V>::settle() {
    std::vector<Location> order;
    order.reserve(this->len_);
    elastic::for_each_occupied(levels_, [&](Location loc) { order.push_back(loc); });
    shuffle(order, this->seed_ ^ this->rebuilds_);
    ElasticHashMap next(ElasticOptions{reserve_fraction_, probe_scale_, this->capacity_}, this->seed_,
                        this->global_seed_);
    for (const Location loc : order) {
        next.place_moved(levels_[loc.level].relocate_out(loc.slot));
        --this->len_;
    }
    for (Level& level : levels_) level.reset_after_drain();
    reset_batches();
    const std::uint64_t rebuilds = this->rebuilds_ + 1;
    swap(next);
    settled_cost_ = miss_cost();
    this->rebuilds_ = rebuilds;
}

// Placement of an entry moved in by a rebuild: no growth check (the
// rebuild walks its chain of tables instead), no lookup, no rebuild.  The
// first batch's placement, which takes most moved entries, is inline in
// the rebuild's loop; the rest of the rules are out of line.
template <MapKey K, class V>
inline void ElasticHashMap<K, V>::place_moved(EntryType&& entry) {
    const MapHash h = this->hash_key(entry.key);
    if (place_by_first_batch(h, entry.key, entry.value)) return;
    place_moved_by_rules(h, std::move(entry));
}

template <MapKey K, class V>
void ElasticHashMap<K, V>::place_moved_by_rules(MapHash h, EntryType&& entry) {
    const BatchCursor cursor = advanced_batch();
    auto target = choose_by_batch(h, cursor.batch);
    if (!target) target = steady_slot(h);
    // The chain was sized so that every table it fills keeps a free slot.
    if (!target) throw InternalError("no free slot found after resize");
    place(*target, h, cursor, std::move(entry.key), std::move(entry.value));
}

// The empty maps a rebuild of `entries` entries at `capacity` will fill,
// in the order it needs them.  Building every table before any entry
// moves is what keeps a failed rebuild harmless.
template <MapKey K, class V>
inline auto ElasticHashMap<K, V>::plan_rebuild(std::uint32_t capacity, std::uint32_t entries) const
    -> std::vector<ElasticHashMap> {
    const std::vector<std::uint32_t> capacities = elastic::rebuild_capacities(capacity, entries, reserve_fraction_);
    std::vector<ElasticHashMap> chain;
    chain.reserve(capacities.size());
    for (const std::uint32_t c : capacities) {
        chain.push_back(
            ElasticHashMap(ElasticOptions{reserve_fraction_, probe_scale_, c}, this->seed_, this->global_seed_));
    }
    return chain;
}

// Moves every entry into the planned chain, then takes the map that
// holds them as our own; the drained tables leave with the chain.  The
// chain has room for every entry, so nothing here fails unless an
// invariant is broken.
template <MapKey K, class V>
inline void ElasticHashMap<K, V>::rebuild_into(std::vector<ElasticHashMap>& chain) {
    std::size_t k = 0;
    move_entries(*this, chain, k);
    swap(chain[k]);
}

// Moves every entry of `from`, in entry order, into chain[k] as insertions
// would: when chain[k] has reached its max_insertions, it first moves its
// own entries into chain[k + 1] the same way, and the entry goes there.
template <MapKey K, class V>
inline void ElasticHashMap<K, V>::move_entries(ElasticHashMap& from, std::span<ElasticHashMap> chain, std::size_t& k) {
    elastic::for_each_occupied(from.levels_, [&](Location loc) {
        EntryType entry = from.levels_[loc.level].relocate_out(loc.slot);
        --from.len_;
        if (chain[k].len_ >= chain[k].max_insertions_ && k + 1 < chain.size()) {
            ElasticHashMap& outgrown = chain[k];
            move_entries(outgrown, chain, ++k);
        }
        chain[k].place_moved(std::move(entry));
    });
    for (Level& level : from.levels_) level.reset_after_drain();
    from.reset_batches();
}

}  // namespace quorvel
