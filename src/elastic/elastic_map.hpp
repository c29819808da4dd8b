// ElasticHashMap: open addressing over levels of halving size, entries never
// moved once placed.
//
// Layout.  A map of capacity n owns
//
//     levels[0..N)   Level tables of ceil(n/2), then halving sizes, summing to n
//     hints          per hash bucket, the levels that keys of the bucket went
//                    to (common/level_hints.hpp; levels 31 and up share bit 31)
//     quotas[]       how many new keys each batch places (sum = max_insertions)
//     len, capacity, max_insertions = n - floor(delta*n)
//     batch, quota_left         the batch being filled and what it may still place
//     max_level                 highest level that has received an entry since
//                               the map was built or cleared
//     seed, global_seed         the two seeds of the map hash (both fixed for
//                               the map's life, across clears and rebuilds)
//
// Lookup searches level 0, then the other levels its hash bucket names,
// ascending (no other level can hold the key), each along the key's own
// probe sequence, comparing keys only on tag matches and leaving a level at
// the first group with a never-used slot, or once it has walked as deep as
// any placement of the key's cell went (level.hpp says why these stops are
// sound, also after removals).
//
// Insertion of a new key goes by batches, each filling two adjacent
// levels; once the batches are spent (a map kept at its fill limit), by the
// steady state, which places a key where it costs lookups least and settles
// the map by a rebuild at its capacity when misses have grown dear.  When
// len has reached max_insertions, the map first grows to twice its
// capacity.  elastic/insertion.hpp says how each works.
//
// Removal writes DELETED and counts the level's removals.  It never
// rebuilds the map: lookups stop at their cell's bound whatever the removals
// left behind, so a DELETED slot costs no lookup more than the entry before
// it did, and what churn does cost lookups - bounds raised and levels named
// by placements, stale hint bits - the steady state measures and settles.
// So a removal cannot fail, and costs its lookup and one byte.
//
// Rebuilds build every table they need before they touch an entry, then
// move the entries by placement alone, comparing no keys (see
// elastic/insertion.hpp).
//
// Failure rules.  Key equality may throw to abort an operation: every
// operation compares keys before it changes anything.  Out of memory is
// std::bad_alloc; broken invariants are InternalError.  K and V must be
// nothrow-movable: rebuilds relocate entries and must not fail half way.
//
// Entry order: level by level, slots ascending.  Iteration, first_location
// (the entry a popitem takes), clear and destruction all follow it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/entry.hpp"
#include "common/level_hints.hpp"
#include "common/map_core.hpp"
#include "common/paired_walk.hpp"
#include "common/probe_counter.hpp"
#include "common/seed.hpp"
#include "common/shuffle.hpp"
#include "common/sizing.hpp"
#include "elastic/entry_order.hpp"
#include "elastic/level.hpp"
#include "elastic/options.hpp"
#include "elastic/sizing.hpp"

namespace quorvel {

template <MapKey K, class V>
class ElasticHashMap : public MapCore<ElasticHashMap<K, V>, K, V> {
    static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                  "rebuilds relocate entries: keys and values must be nothrow-movable");
    using Core = MapCore<ElasticHashMap<K, V>, K, V>;
    friend Core;

public:
    using Location = ElasticLocation;
    using Level = elastic::Level<K, V>;
    using EntryType = Entry<K, V>;

    // Levels 31 and up share the last bit of a bucket's hint word.
    static constexpr std::uint32_t SHARED_HINT = LevelHints::BITS - 1;
    // The share by which the estimated cost of a miss may grow in the steady
    // state before the map rebuilds itself to restore it.
    static constexpr double STEADY_SLACK = 0.3;

    // How many entries a map built with `options` holds before it grows.
    static std::uint32_t max_insertions_for(const ElasticOptions& options) noexcept {
        return elastic::max_insertions(options.capacity, elastic::effective_reserve_fraction(options.reserve_fraction));
    }

    static ElasticHashMap with_options_and_hasher(const ElasticOptions& options, std::uint64_t seed) {
        return ElasticHashMap(options, seed, GlobalSeed::get());
    }
    // The same with an explicit global seed, so that a test or a measurement
    // can replay one exact layout.
    static ElasticHashMap with_options_and_hasher(const ElasticOptions& options, std::uint64_t seed,
                                                  std::uint64_t global_seed) {
        return ElasticHashMap(options, seed, global_seed);
    }

    ElasticHashMap(ElasticHashMap&& other) noexcept
        : Core(other.seed_, other.global_seed_),
          levels_(std::move(other.levels_)),
          hints_(std::exchange(other.hints_, LevelHints())),
          quotas_(std::move(other.quotas_)),
          batch_(std::exchange(other.batch_, 0)),
          quota_left_(std::exchange(other.quota_left_, 0)),
          max_level_(std::exchange(other.max_level_, 0)),
          first_hint_(std::exchange(other.first_hint_, Location{0, 0})),
          settled_cost_(std::exchange(other.settled_cost_, 0.0)),
          reserve_fraction_(other.reserve_fraction_),
          probe_scale_(other.probe_scale_) {
        this->take_core(other);
        other.levels_.clear();
        other.quotas_.clear();
    }

    ElasticHashMap& operator=(ElasticHashMap&& other) noexcept {
        ElasticHashMap taken(std::move(other));
        swap(taken);
        return *this;  // `taken` releases our former entries in entry order
    }

    ElasticHashMap(const ElasticHashMap&) = delete;
    ElasticHashMap& operator=(const ElasticHashMap&) = delete;

    ~ElasticHashMap() { release_entries(); }

    void swap(ElasticHashMap& other) noexcept {
        using std::swap;
        this->swap_core(other);
        swap(levels_, other.levels_);
        swap(hints_, other.hints_);
        swap(quotas_, other.quotas_);
        swap(batch_, other.batch_);
        swap(quota_left_, other.quota_left_);
        swap(max_level_, other.max_level_);
        swap(first_hint_, other.first_hint_);
        swap(settled_cost_, other.settled_cost_);
        swap(reserve_fraction_, other.reserve_fraction_);
        swap(probe_scale_, other.probe_scale_);
    }

    // ---- state -------------------------------------------------------------

    double reserve_fraction() const noexcept { return reserve_fraction_; }
    double probe_scale() const noexcept { return probe_scale_; }
    std::uint32_t batch() const noexcept { return batch_; }
    std::uint32_t quota_left() const noexcept { return quota_left_; }
    std::uint32_t max_level() const noexcept { return max_level_; }
    const std::vector<Level>& levels() const noexcept { return levels_; }
    const std::vector<std::uint32_t>& quotas() const noexcept { return quotas_; }
    const LevelHints& level_hints() const noexcept { return hints_; }
    double settled_cost() const noexcept { return settled_cost_; }

    // The estimated groups a miss walks: for every level, the share of
    // buckets whose lookups visit it times its mean cell bound.
    double miss_cost() const noexcept {
        double cost = 0.0;
        for (std::uint32_t i = 0; i < levels_.size(); ++i) {
            if (levels_[i].live() == 0) continue;
            cost += (i == 0 ? 1.0 : hints_.share(hint_bit(i))) * levels_[i].mean_bound();
        }
        return cost;
    }

    std::size_t allocated_bytes() const noexcept {
        std::size_t bytes = levels_.capacity() * sizeof(Level) + quotas_.capacity() * sizeof(std::uint32_t) +
                            hints_.allocated_bytes();
        for (const Level& level : levels_) bytes += level.allocated_bytes();
        return bytes;
    }

    // ---- lookup ------------------------------------------------------------

    // Where `key` is stored, searching only the levels that can hold it: the
    // location, or one that `found` rejects.
    [[gnu::always_inline]] Location find_location(const K& key, MapHash h) const {
        const Location at = locate<true>(key, h);
        ProbeCounter::end_lookup();
        return at;
    }
    static constexpr bool found(Location loc) noexcept { return loc.level != NOWHERE; }

    // The same lookup as an optional.
    [[gnu::always_inline]] std::optional<Location> find_slot_indices_with_hash(const K& key, MapHash h) const {
        return this->found_or_nothing(key, h);
    }
    static constexpr auto find_slot = &ElasticHashMap::find_slot_indices_with_hash;

    EntryType& entry_at(Location loc) noexcept { return levels_[loc.level].entry(loc.slot); }
    const EntryType& entry_at(Location loc) const noexcept { return levels_[loc.level].entry(loc.slot); }

    // First free slot of level `level` along the sequence of a key hashing to h.
    std::optional<std::uint32_t> first_free_uniform(std::uint32_t level, MapHash h) const noexcept {
        const auto found = levels_[level].first_free_uniform(h);
        ProbeCounter::discard();
        return found ? std::optional<std::uint32_t>(found.slot) : std::nullopt;
    }

    // ---- insertion -----------------------------------------------------------

    // The previous value when the key was present (the stored key is kept and
    // `key` released); nothing when the key was added.
    std::optional<V> insert(K key, V value) {
        const MapHash h = this->hash_key(key);
        // Most keys inserted are new: a miss gains little from reading two
        // levels at once, so the insertion walks them in order.
        const Location at = locate<false>(key, h);
        ProbeCounter::end_lookup();
        if (found(at)) {
            return std::optional<V>(std::exchange(entry_at(at).value, std::move(value)));
        }
        if (!place_by_first_batch(h, key, value)) add(h, std::move(key), std::move(value));
        return std::nullopt;
    }

    // For a key known to be absent: growth check and placement, no comparison.
    void insert_new(K key, V value) {
        const MapHash h = this->hash_key(key);
        if (!place_by_first_batch(h, key, value)) add(h, std::move(key), std::move(value));
    }

    // ---- removal -------------------------------------------------------------

    // Removes the entry of a known occupied slot: a DELETED byte stays, and
    // the level counts the removal.  A removal never rebuilds the map: with
    // lookups bounded per cell, a DELETED slot costs no lookup more than the
    // full slot before it did, and the steady state settles the map when
    // lookups have grown dearer (see elastic/insertion.hpp).  So a removal
    // cannot fail, and costs a lookup and a byte.
    EntryType remove_at(Location loc) noexcept {
        EntryType out = levels_[loc.level].take(loc.slot);
        --this->len_;
        return out;
    }

    // ---- rebuild and clear -----------------------------------------------------

    // Rebuilds at `new_capacity` with the same seed and effective options.
    // At the same capacity the map keeps the miss cost it settles against.
    void resize(std::uint32_t new_capacity) {
        std::vector<ElasticHashMap> chain = plan_rebuild(new_capacity, this->len_);
        const double settled = new_capacity == this->capacity_ ? settled_cost_ : 0.0;
        const std::uint64_t rebuilds = this->rebuilds_ + 1;
        rebuild_into(chain);
        settled_cost_ = settled;
        this->rebuilds_ = rebuilds;
    }

    void clear() noexcept {
        for (Level& level : levels_) level.clear();
        this->len_ = 0;
        reset_batches();
        settled_cost_ = 0.0;
    }

    // ---- entry order -------------------------------------------------------------

    // The first occupied slot at or after `from` in entry order.
    std::optional<Location> first_location_from(Location from) const noexcept {
        return elastic::first_occupied(levels_, from);
    }

    std::optional<Location> next_location(Location after) const noexcept {
        return first_location_from(Location{after.level, after.slot + 1});
    }

    // The full slots of `loc`'s group after `loc`, as bits of the group
    // (bit j: slot 16 * (loc.slot / 16) + j): the entries a walk in entry
    // order meets next without a search.
    std::uint32_t full_slots_after(Location loc) const noexcept {
        return full_slots(levels_[loc.level].table(), loc.slot / GROUP_WIDTH).bits() &
               (FULL_GROUP_MASK << (loc.slot % GROUP_WIDTH + 1));
    }

    // The full slots of group `group` of the level `in` is in, as group
    // bits; none past the level's last group.
    std::uint32_t full_slots_of_group(Location in, std::uint32_t group) const noexcept {
        const auto& table = levels_[in.level].table();
        return group < table.groups() ? full_slots(table, group).bits() : 0;
    }

    // The first entry in entry order.  Remembers where it was found: no entry
    // lies before that point until a placement puts one there, so repeated
    // calls (popitem until empty) do not rescan the emptied front.
    std::optional<Location> first_location() noexcept {
        const auto found = first_location_from(first_hint_);
        first_hint_ = found ? Location{found->level, found->slot & ~(GROUP_WIDTH - 1)}
                            : Location{static_cast<std::uint32_t>(levels_.size()), 0};
        return found;
    }

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = EntryType;
        using difference_type = std::ptrdiff_t;
        using pointer = const EntryType*;
        using reference = const EntryType&;

        const_iterator() = default;
        reference operator*() const noexcept { return map_->entry_at(*at_); }
        pointer operator->() const noexcept { return &map_->entry_at(*at_); }
        Location location() const noexcept { return *at_; }
        const_iterator& operator++() noexcept {
            at_ = map_->next_location(*at_);
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
            return a.at_ == b.at_;
        }

    private:
        friend class ElasticHashMap;
        const_iterator(const ElasticHashMap* map, std::optional<Location> at) : map_(map), at_(at) {}
        const ElasticHashMap* map_ = nullptr;
        std::optional<Location> at_;
    };

    const_iterator begin() const noexcept { return const_iterator(this, first_location_from(Location{0, 0})); }
    const_iterator end() const noexcept { return const_iterator(this, std::nullopt); }

    // f(key, value) for every entry, in entry order; ahead(entry) for the
    // entries a few groups before f reaches them (table_scan.hpp).
    template <class F, class Ahead = NoLookahead>
    void for_each(F&& f, Ahead ahead = {}) const {
        const auto visit = [&](Location loc) {
            const EntryType& e = entry_at(loc);
            f(e.key, e.value);
        };
        if constexpr (std::is_same_v<Ahead, NoLookahead>) {
            elastic::for_each_occupied(levels_, visit);
        } else {
            elastic::for_each_occupied(levels_, visit, [&](Location loc) { ahead(entry_at(loc)); });
        }
    }

private:
    // The level index of "not found" on the lookup path.
    static constexpr std::uint32_t NOWHERE = U32_MAX;
    // More levels than a 32-bit capacity makes (at most 34).
    static constexpr std::size_t MOST_LEVELS = 64;

    // Where a new entry goes: level and free slot found there.
    struct Target {
        std::uint32_t level;
        elastic::FreeSlot at;
    };

    // The batch a new key goes to and the quota it draws from.
    struct BatchCursor {
        std::uint32_t batch;
        std::uint32_t quota;
    };

    ElasticHashMap(const ElasticOptions& options, std::uint64_t seed, std::uint64_t global_seed)
        : Core(seed, global_seed),
          reserve_fraction_(elastic::effective_reserve_fraction(options.reserve_fraction)),
          probe_scale_(elastic::effective_probe_scale(options.probe_scale)) {
        const std::uint32_t n = options.capacity;
        const std::vector<std::uint32_t> sizes = elastic::level_sizes(n);
        levels_.reserve(sizes.size());
        for (std::uint32_t k = 0; k < sizes.size(); ++k) {
            levels_.push_back(Level::with_capacity(sizes[k], reserve_fraction_, probe_scale_, k));
        }
        quotas_ = elastic::batch_quotas(sizes, n, reserve_fraction_);
        hints_ = LevelHints(n);
        this->capacity_ = n;
        this->max_insertions_ = elastic::max_insertions(n, reserve_fraction_);
        quota_left_ = quotas_.empty() ? 0 : quotas_[0];
    }

    static constexpr std::uint32_t hint_bit(std::uint32_t level) noexcept { return std::min(level, SHARED_HINT); }

    // The one lookup walk: level 0, then the levels the key's bucket names.
    // TwoAtOnce lets maps of integral keys in the middle sizes read levels 0
    // and 1 together.
    template <bool TwoAtOnce>
    [[gnu::always_inline]] Location locate(const K& key, MapHash h) const {
        if (levels_.empty()) return Location{NOWHERE, 0};
        const Group::Needle needle = Group::needle(h.tag());
        // Level 0 holds half the entries and its bit is nearly always set:
        // it is searched without asking, while the hint word loads.
        const std::uint32_t named = hints_.candidates(h);
        const Level* const levels = levels_.data();
        if constexpr (TwoAtOnce && !counting_probes && unobservable_equality<K>) {
            // A capacity in the paired range has two levels at least (the
            // first holds n - n/2 of n >= 2 slots).
            if (reads_levels_in_pairs<EntryType, paired_walk_min_slots<K>>(this->capacity_)) {
                return locate_two_at_once(key, h, needle, named);
            }
        }
        if (const std::uint32_t slot = levels[0].find(key, h, needle); slot != NO_SLOT) return Location{0, slot};
        return locate_named(key, h, needle, named & ~1u);
    }

    // Most keys lie in the start group of level 0 or of level 1 (three in
    // four at load 0.875, two in three at 0.99).  Where comparing keys has
    // no effect but its answer, and the map is of the size where it pays
    // (common/paired_walk.hpp), both start groups are read at once and
    // their candidates tried as one mask (level 1's only when the hint word
    // names it); the walk then goes on past both start groups as it would
    // have.  For keys whose equality may run code, level 1's candidates
    // would have to wait for level 0's walk to end, and that test cost
    // Python lookups more than the mispredictions it saved.
    static_assert(SHARED_HINT > 1, "levels 0 and 1 have hint bits of their own");
    [[gnu::always_inline]] Location locate_two_at_once(const K& key, MapHash h, Group::Needle needle,
                                                       std::uint32_t named) const {
        const Level* const levels = levels_.data();
        const typename Level::StartGroup first = levels[0].start_of(h, needle);
        const typename Level::StartGroup second = levels[1].start_of(h, needle);
        const std::uint32_t second_named = 0u - ((named >> 1) & 1u);
        const std::uint32_t both = first.matches | ((second.matches & second_named) << GROUP_WIDTH);
        for (const std::uint32_t j : BitMask(both)) {
            const std::uint32_t level = j / GROUP_WIDTH;
            // The base picked without a branch: which level is the unpredictable part.
            const std::uint32_t slot = (first.base ^ ((first.base ^ second.base) & (0u - level))) + j % GROUP_WIDTH;
            if (KeyOps<K>::equal(levels[level].entry(slot).key, key)) return Location{level, slot};
        }
        if (const std::uint32_t slot = levels[0].find_past_start(key, h, needle, first); slot != NO_SLOT) {
            return Location{0, slot};
        }
        if (second_named != 0) {
            if (const std::uint32_t slot = levels[1].find_past_start(key, h, needle, second); slot != NO_SLOT) {
                return Location{1, slot};
            }
        }
        return locate_named(key, h, needle, named & ~3u);
    }

    // The levels after level 0 that the hint word names.
    [[gnu::always_inline]] Location locate_named(const K& key, MapHash h, Group::Needle needle,
                                                 std::uint32_t named) const {
        const Level* const levels = levels_.data();
        for (std::uint32_t left = named & ~(1u << SHARED_HINT); left != 0; left &= left - 1) {
            const auto i = static_cast<std::uint32_t>(std::countr_zero(left));
            if (const std::uint32_t slot = levels[i].find(key, h, needle); slot != NO_SLOT) return Location{i, slot};
        }
        // The shared bit stands for every level from there to max_level.
        if (named & (1u << SHARED_HINT)) return locate_from(SHARED_HINT, key, h, needle);
        return Location{NOWHERE, 0};
    }

    // The walk over levels first..max_level, for maps of more than 31 levels:
    // kept out of line so that the common path stays small.
    [[gnu::noinline]] Location locate_from(std::uint32_t first, const K& key, MapHash h, Group::Needle needle) const {
        const auto searched = static_cast<std::uint32_t>(std::min<std::size_t>(levels_.size(), std::size_t{max_level_} + 1));
        for (std::uint32_t i = first; i < searched; ++i) {
            if (levels_[i].live() == 0) continue;
            if (const std::uint32_t slot = levels_[i].find(key, h, needle); slot != NO_SLOT) return Location{i, slot};
        }
        return Location{NOWHERE, 0};
    }

    // The first batch's placement - the first free slot of level 0 along the
    // key's sequence - inline, for the insertions that fill the first three
    // eighths of a new map (and most of a copy or a rebuild): exactly what
    // add does in that state, without its call.  False, with nothing
    // changed, in any other state or when level 0 has no slot for the key;
    // add then decides from the same state.
    [[gnu::always_inline]] bool place_by_first_batch(MapHash h, K& key, V& value) noexcept {
        if (batch_ != 0 || quota_left_ == 0 || this->len_ >= this->max_insertions_) return false;
        const auto at = levels_[0].first_free_uniform(h);  // a nonzero quota means level 0 exists
        if (!at) return false;
        place(Target{0, at}, h, BatchCursor{0, quota_left_}, std::move(key), std::move(value));
        return true;
    }

    // ---- insertion (defined in elastic/insertion.hpp) ------------------------

    void add(MapHash h, K&& key, V&& value);
    [[gnu::always_inline]] BatchCursor advanced_batch() const noexcept;
    [[gnu::always_inline]] std::optional<Target> full_probe(std::uint32_t i, MapHash h) const noexcept;
    [[gnu::always_inline]] std::optional<Target> limited_probe(std::uint32_t i, MapHash h) const noexcept;
    [[gnu::always_inline]] std::optional<Target> choose_by_batch(MapHash h, std::uint32_t b) const noexcept;
    std::optional<Target> steady_slot(MapHash h) const noexcept;

    // Stores a new entry where the insertion path chose, and keeps every count.
    [[gnu::always_inline]] void place(Target target, MapHash h, BatchCursor cursor, K&& key, V&& value) noexcept {
        ProbeCounter::end_insertion();
        levels_[target.level].place(target.at, h.tag(), std::move(key), std::move(value));
        (void)hints_.note(h, hint_bit(target.level));
        batch_ = cursor.batch;
        quota_left_ = cursor.quota != 0 ? cursor.quota - 1 : 0;
        max_level_ = std::max(max_level_, target.level);
        ++this->len_;
        const Location loc{target.level, target.at.slot & ~(GROUP_WIDTH - 1)};
        if (loc < first_hint_) first_hint_ = loc;
    }

    // The steady state and the rebuilds (defined in elastic/insertion.hpp).
    bool settle_due() noexcept;
    bool try_settle() noexcept;
    void settle();
    [[gnu::always_inline]] void place_moved(EntryType&& entry);
    [[gnu::noinline]] void place_moved_by_rules(MapHash h, EntryType&& entry);
    std::vector<ElasticHashMap> plan_rebuild(std::uint32_t capacity, std::uint32_t entries) const;
    void rebuild_into(std::vector<ElasticHashMap>& chain);
    static void move_entries(ElasticHashMap& from, std::span<ElasticHashMap> chain, std::size_t& k);

    // The batch state of a new map, and nothing placed.
    void reset_batches() noexcept {
        hints_.clear();
        batch_ = 0;
        quota_left_ = quotas_.empty() ? 0 : quotas_[0];
        max_level_ = 0;
        first_hint_ = Location{0, 0};
    }

    void release_entries() noexcept {
        for (Level& level : levels_) level.release_entries();
        this->len_ = 0;
    }

    std::vector<Level> levels_;
    LevelHints hints_;
    std::vector<std::uint32_t> quotas_;
    std::uint32_t batch_ = 0;
    std::uint32_t quota_left_ = 0;
    std::uint32_t max_level_ = 0;
    Location first_hint_{0, 0};  // no entry lies before it in entry order
    double settled_cost_ = 0.0;  // miss_cost() when the map last settled; 0: not yet
    double reserve_fraction_;
    double probe_scale_;
};

}  // namespace quorvel

// The insertion path, defined out of the class.
#include "elastic/insertion.hpp"  // IWYU pragma: export
