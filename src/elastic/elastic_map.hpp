// ElasticHashMap: open addressing over levels of halving size, entries never
// moved once placed.
//
// Layout.  A map of capacity n owns
//
//     levels[0..N)   Level tables of ceil(n/2), then halving sizes, summing to n
//     hints          per hash bucket, the levels that keys of the bucket went
//                    to (level_hints.hpp)
//     quotas[]       how many new keys each batch places (sum = max_insertions)
//     len, capacity, max_insertions = n - floor(delta*n)
//     batch, quota_left         the batch being filled and what it may still place
//     max_level                 highest level that has received an entry since
//                               the map was built or cleared
//     seed, global_seed         the two seeds of the map hash (both fixed for
//                               the map's life, across clears and rebuilds)
//
// Lookup walks the levels its hash bucket names, ascending (the levels up to
// max_level that keys of the bucket ever went to: no other level can hold
// the key), each along the key's own probe sequence, comparing keys only on
// tag matches and leaving a level at the first group with a never-used
// slot, or once it has walked as far as any placement from the key's start
// group into that level ever did - at once when there was none (level.hpp
// says why these stops are sound, also after removals).
//
// Insertion of a new key.  Batch b fills levels b-1 and b.  While level b-1
// is above its fill threshold and level b is under three quarters full, a
// key first tries level b-1 within a probe budget that grows as b-1 fills,
// then level b; once level b is three quarters full, b-1 is searched in full
// first; once b-1 is down to its threshold, b comes first.  When the
// batches are spent and none of the attempts finds room, the key takes the
// first free slot along its sequence in the lowest level that has one, so
// that lookups still find it.  When len has reached max_insertions, the map
// first rebuilds itself at twice the capacity (16 from 0).
//
// Removal writes DELETED and counts the level's removals; once they exceed
// half the level's slots the map rebuilds at the same capacity, which bounds
// both the tombstones and the cost they add to misses.
//
// Rebuilds.  A rebuild builds every table it needs before it touches an
// entry, so a failure (out of memory, a layout that cannot exist) leaves the
// map exactly as it was.  It then moves the entries across in entry order by
// placement alone - the growth check, batch advance and placement of an
// insertion, without the lookup - so no key comparison runs and none can
// lose or duplicate an entry.  When the moved entries outgrow the new map,
// it grows again while they move, exactly as insertions into it would make
// it grow; the tables for those steps are built up front too.
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
#include "common/probe_counter.hpp"
#include "common/seed.hpp"
#include "elastic/entry_order.hpp"
#include "elastic/level.hpp"
#include "elastic/level_hints.hpp"
#include "elastic/options.hpp"
#include "elastic/sizing.hpp"

namespace quorvel {

template <MapKey K, class V>
class ElasticHashMap {
    static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                  "rebuilds relocate entries: keys and values must be nothrow-movable");

public:
    using Location = ElasticLocation;
    using Level = elastic::Level<K, V>;
    using EntryType = Entry<K, V>;

    // A lookup's result with the number of groups it examined.
    struct ProbedLookup {
        std::optional<Location> location;
        std::uint32_t groups;
    };

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
        : levels_(std::move(other.levels_)),
          hints_(std::exchange(other.hints_, elastic::LevelHints())),
          quotas_(std::move(other.quotas_)),
          len_(std::exchange(other.len_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          max_insertions_(std::exchange(other.max_insertions_, 0)),
          batch_(std::exchange(other.batch_, 0)),
          quota_left_(std::exchange(other.quota_left_, 0)),
          max_level_(std::exchange(other.max_level_, 0)),
          first_hint_(std::exchange(other.first_hint_, Location{0, 0})),
          reserve_fraction_(other.reserve_fraction_),
          probe_scale_(other.probe_scale_),
          seed_(other.seed_),
          global_seed_(other.global_seed_) {
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
        swap(levels_, other.levels_);
        swap(hints_, other.hints_);
        swap(quotas_, other.quotas_);
        swap(len_, other.len_);
        swap(capacity_, other.capacity_);
        swap(max_insertions_, other.max_insertions_);
        swap(batch_, other.batch_);
        swap(quota_left_, other.quota_left_);
        swap(max_level_, other.max_level_);
        swap(first_hint_, other.first_hint_);
        swap(reserve_fraction_, other.reserve_fraction_);
        swap(probe_scale_, other.probe_scale_);
        swap(seed_, other.seed_);
        swap(global_seed_, other.global_seed_);
    }

    // ---- state -------------------------------------------------------------

    std::uint32_t len() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    std::uint32_t capacity() const noexcept { return capacity_; }
    std::uint32_t max_insertions() const noexcept { return max_insertions_; }
    double reserve_fraction() const noexcept { return reserve_fraction_; }
    double probe_scale() const noexcept { return probe_scale_; }
    std::uint64_t seed() const noexcept { return seed_; }
    std::uint64_t global_seed() const noexcept { return global_seed_; }
    std::uint32_t batch() const noexcept { return batch_; }
    std::uint32_t quota_left() const noexcept { return quota_left_; }
    std::uint32_t max_level() const noexcept { return max_level_; }
    const std::vector<Level>& levels() const noexcept { return levels_; }
    const std::vector<std::uint32_t>& quotas() const noexcept { return quotas_; }
    const elastic::LevelHints& level_hints() const noexcept { return hints_; }

    std::size_t allocated_bytes() const noexcept {
        std::size_t bytes = levels_.capacity() * sizeof(Level) + quotas_.capacity() * sizeof(std::uint32_t) +
                            hints_.allocated_bytes();
        for (const Level& level : levels_) bytes += level.allocated_bytes();
        return bytes;
    }

    // ---- lookup ------------------------------------------------------------

    MapHash hash_key(const K& key) const noexcept {
        return map_hash(KeyOps<K>::hash(key), seed_, global_seed_);
    }

    // The one lookup walk, reporting how many groups it examined.
    ProbedLookup probe_lookup(const K& key, MapHash h) const {
        using elastic::LevelHints;
        std::uint32_t groups = 0;
        if (levels_.empty()) return {std::nullopt, groups};
        // Level 0 holds half the entries and its bit is nearly always set:
        // it is searched without asking, while the hint word loads.
        const std::uint32_t hinted = hints_.candidates(h);
        if (const auto slot = levels_[0].find(key, h, groups)) return {Location{0, *slot}, groups};
        for (std::uint32_t left = hinted & LevelHints::OWN_BITS & ~1u; left != 0; left &= left - 1) {
            const auto i = static_cast<std::uint32_t>(std::countr_zero(left));
            if (const auto slot = levels_[i].find(key, h, groups)) return {Location{i, *slot}, groups};
        }
        // The shared bit stands for every level from there to max_level.
        if (hinted & LevelHints::SHARED) return probe_levels_from(LevelHints::SHARED_BIT, key, h, groups);
        return {std::nullopt, groups};
    }

    // The walk over levels first..max_level, for maps of more than 31 levels:
    // kept out of line so that the common path stays small.
    [[gnu::noinline]] ProbedLookup probe_levels_from(std::uint32_t first, const K& key, MapHash h,
                                                     std::uint32_t groups) const {
        for (std::uint32_t i = first; i < searched_levels(); ++i) {
            if (const auto slot = levels_[i].find(key, h, groups)) return {Location{i, *slot}, groups};
        }
        return {std::nullopt, groups};
    }

    // Levels 0..max_level: the only ones that hold entries.
    std::uint32_t searched_levels() const noexcept {
        return static_cast<std::uint32_t>(std::min<std::size_t>(levels_.size(), std::size_t{max_level_} + 1));
    }

    std::optional<Location> find(const K& key, MapHash h) const {
        const ProbedLookup result = probe_lookup(key, h);
        count_lookup(result.groups);
        return result.location;
    }
    std::optional<Location> find_slot_indices_with_hash(const K& key, MapHash h) const { return find(key, h); }
    std::optional<Location> find_slot_location_with_hash(const K& key, MapHash h) const { return find(key, h); }

    EntryType& entry_at(Location loc) noexcept { return levels_[loc.level].entry(loc.slot); }
    const EntryType& entry_at(Location loc) const noexcept { return levels_[loc.level].entry(loc.slot); }

    V* get(const K& key) {
        const auto loc = find(key, hash_key(key));
        return loc ? &entry_at(*loc).value : nullptr;
    }
    const V* get(const K& key) const {
        const auto loc = find(key, hash_key(key));
        return loc ? &entry_at(*loc).value : nullptr;
    }

    // First free slot of level `level` along the sequence of a key hashing to h.
    std::optional<std::uint32_t> first_free_uniform(std::uint32_t level, MapHash h) const noexcept {
        std::uint32_t groups = 0;
        const auto found = levels_[level].first_free_uniform(h, groups);
        return found ? std::optional<std::uint32_t>(found->slot) : std::nullopt;
    }

    // ---- insertion -----------------------------------------------------------

    // The previous value when the key was present (the stored key is kept and
    // `key` released); nothing when the key was added.
    std::optional<V> insert(K key, V value) {
        const MapHash h = hash_key(key);
        if (const auto loc = find(key, h)) {
            return std::optional<V>(std::exchange(entry_at(*loc).value, std::move(value)));
        }
        add(h, std::move(key), std::move(value));
        return std::nullopt;
    }

    // For a key known to be absent: growth check and placement, no comparison.
    void insert_new(K key, V value) {
        const MapHash h = hash_key(key);
        add(h, std::move(key), std::move(value));
    }

    // ---- removal -------------------------------------------------------------

    std::optional<V> remove(const K& key) {
        const auto loc = find(key, hash_key(key));
        if (!loc) return std::nullopt;
        EntryType removed = remove_at(*loc);
        return std::optional<V>(std::move(removed.value));
    }

    // Removes the entry of a known occupied slot, with the bookkeeping and
    // purge of `remove`.  The purge's tables are built first, so a failure
    // leaves the entry where it was.
    EntryType remove_at(Location loc) {
        Level& level = levels_[loc.level];
        std::vector<ElasticHashMap> purge;
        if (level.removed() + 1 > level.slots() / 2) purge = plan_rebuild(capacity_, len_ - 1);
        EntryType out = level.take(loc.slot);
        --len_;
        if (!purge.empty()) rebuild_into(purge);
        return out;
    }

    // ---- rebuild and clear -----------------------------------------------------

    // Rebuilds at `new_capacity` with the same seed and effective options.
    void resize(std::uint32_t new_capacity) {
        std::vector<ElasticHashMap> chain = plan_rebuild(new_capacity, len_);
        rebuild_into(chain);
    }

    void clear() noexcept {
        for (Level& level : levels_) level.clear();
        hints_.clear();
        len_ = 0;
        batch_ = 0;
        quota_left_ = quotas_.empty() ? 0 : quotas_[0];
        max_level_ = 0;
        first_hint_ = Location{0, 0};
    }

    // ---- entry order -------------------------------------------------------------

    // The first occupied slot at or after `from` in entry order.
    std::optional<Location> first_location_from(Location from) const noexcept {
        return elastic::first_occupied(levels_, from);
    }

    std::optional<Location> next_location(Location after) const noexcept {
        return first_location_from(Location{after.level, after.slot + 1});
    }

    // The first entry in entry order.  Remembers where it was found: no entry
    // lies before that point until a placement puts one there, so repeated
    // calls (popitem until empty) do not rescan the emptied front.
    std::optional<Location> first_location() const noexcept {
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

    // f(key, value) for every entry, in entry order.
    template <class F>
    void for_each(F&& f) const {
        elastic::for_each_occupied(levels_, [&](Location loc) {
            const EntryType& e = entry_at(loc);
            f(e.key, e.value);
        });
    }

private:
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
        : reserve_fraction_(elastic::effective_reserve_fraction(options.reserve_fraction)),
          probe_scale_(elastic::effective_probe_scale(options.probe_scale)),
          seed_(seed),
          global_seed_(global_seed) {
        const std::uint32_t n = options.capacity;
        const std::vector<std::uint32_t> sizes = elastic::level_sizes(n);
        levels_.reserve(sizes.size());
        for (std::uint32_t k = 0; k < sizes.size(); ++k) {
            levels_.push_back(Level::with_capacity(sizes[k], reserve_fraction_, probe_scale_, k));
        }
        quotas_ = elastic::batch_quotas(sizes, n, reserve_fraction_);
        hints_ = elastic::LevelHints(n);
        capacity_ = n;
        max_insertions_ = elastic::max_insertions(n, reserve_fraction_);
        quota_left_ = quotas_.empty() ? 0 : quotas_[0];
    }

    // Growth check, then placement; grows again in the (never expected) case
    // that no level has a free slot left.
    void add(MapHash h, K&& key, V&& value) {
        if (len_ >= max_insertions_) resize(elastic::grown_capacity(capacity_));
        for (;;) {
            const BatchCursor cursor = advanced_batch();
            std::uint32_t groups = 0;
            const auto loc = choose_slot(h, cursor.batch, groups);
            count_insertion(groups);
            if (loc) {
                place(*loc, h, cursor, std::move(key), std::move(value));
                return;
            }
            if (capacity_ == elastic::U32_MAX) throw std::bad_alloc();
            resize(elastic::grown_capacity(capacity_));
        }
    }

    // When the current batch's quota is spent, the next batch with a nonzero
    // quota; the last one when all are spent.  Read only: it takes effect
    // when the key is placed.
    BatchCursor advanced_batch() const noexcept {
        BatchCursor cursor{batch_, quota_left_};
        if (cursor.quota != 0) return cursor;
        for (std::uint32_t j = batch_ + 1; j < quotas_.size(); ++j) {
            cursor = BatchCursor{j, quotas_[j]};
            if (cursor.quota != 0) break;
        }
        return cursor;
    }

    std::optional<Target> full_probe(std::uint32_t i, MapHash h, std::uint32_t& groups) const noexcept {
        if (const auto at = levels_[i].first_free_uniform(h, groups)) return Target{i, *at};
        return std::nullopt;
    }

    std::optional<Target> limited_probe(std::uint32_t i, MapHash h, std::uint32_t& groups) const noexcept {
        const Level& level = levels_[i];
        if (const auto at = level.first_free(h, level.probe_limits().budget(level.free_slots()), groups))
            return Target{i, *at};
        return std::nullopt;
    }

    // The placement table for batch b, then the fallback: the first free
    // slot along the key's sequence in the lowest level that has one.
    std::optional<Target> choose_slot(MapHash h, std::uint32_t b, std::uint32_t& groups) const noexcept {
        if (const auto loc = choose_by_batch(h, b, groups)) return loc;
        for (std::uint32_t i = 0; i < levels_.size(); ++i) {
            if (const auto loc = full_probe(i, h, groups)) return loc;
        }
        return std::nullopt;
    }

    // The attempts of the placement table, in order; the first that finds a
    // free slot decides.
    std::optional<Target> choose_by_batch(MapHash h, std::uint32_t b, std::uint32_t& groups) const noexcept {
        const auto n = static_cast<std::uint32_t>(levels_.size());
        if (n == 0) return std::nullopt;
        if (b == 0) return full_probe(0, h, groups);
        if (b >= n) return full_probe(n - 1, h, groups);
        const auto either = [&](std::uint32_t first, std::uint32_t second) {
            if (const auto loc = full_probe(first, h, groups)) return loc;
            return full_probe(second, h, groups);
        };
        if (levels_[b - 1].free_slots() <= levels_[b - 1].fill_threshold()) return either(b, b - 1);
        if (elastic::saturate_u32(std::uint64_t{4} * levels_[b].free_slots()) <= levels_[b].slots()) {
            return either(b - 1, b);
        }
        if (const auto loc = limited_probe(b - 1, h, groups)) return loc;
        return either(b, b - 1);
    }

    void place(Target target, MapHash h, BatchCursor cursor, K&& key, V&& value) noexcept {
        levels_[target.level].place(target.at, h.tag(), std::move(key), std::move(value));
        hints_.note(h, target.level);
        batch_ = cursor.batch;
        quota_left_ = cursor.quota != 0 ? cursor.quota - 1 : 0;
        max_level_ = std::max(max_level_, target.level);
        ++len_;
        const Location loc{target.level, target.at.slot & ~(GROUP_WIDTH - 1)};
        if (loc < first_hint_) first_hint_ = loc;
    }

    // Placement of an entry moved in by a rebuild: no growth check (the
    // rebuild walks its chain of tables instead), no lookup.
    void place_moved(EntryType&& entry) {
        const MapHash h = hash_key(entry.key);
        const BatchCursor cursor = advanced_batch();
        std::uint32_t groups = 0;
        const auto loc = choose_slot(h, cursor.batch, groups);
        count_insertion(groups);
        // The chain was sized so that every table it fills keeps a free slot.
        if (!loc) throw InternalError("no free slot found after resize");
        place(*loc, h, cursor, std::move(entry.key), std::move(entry.value));
    }

    // The empty maps a rebuild of `entries` entries at `capacity` will fill,
    // in the order it needs them.  Building every table before any entry
    // moves is what keeps a failed rebuild harmless.
    std::vector<ElasticHashMap> plan_rebuild(std::uint32_t capacity, std::uint32_t entries) const {
        const std::vector<std::uint32_t> capacities = elastic::rebuild_capacities(capacity, entries, reserve_fraction_);
        std::vector<ElasticHashMap> chain;
        chain.reserve(capacities.size());
        for (const std::uint32_t c : capacities) {
            chain.push_back(ElasticHashMap(ElasticOptions{reserve_fraction_, probe_scale_, c}, seed_, global_seed_));
        }
        return chain;
    }

    // Moves every entry into the planned chain, then takes the map that
    // holds them as our own; the drained tables leave with the chain.  The
    // chain has room for every entry, so nothing here fails unless an
    // invariant is broken.
    void rebuild_into(std::vector<ElasticHashMap>& chain) {
        std::size_t k = 0;
        move_entries(*this, chain, k);
        swap(chain[k]);
    }

    // Moves every entry of `from`, in entry order, into chain[k] as insertions
    // would: when chain[k] has reached its max_insertions, it first moves its
    // own entries into chain[k + 1] the same way, and the entry goes there.
    static void move_entries(ElasticHashMap& from, std::span<ElasticHashMap> chain, std::size_t& k) {
        elastic::for_each_occupied(from.levels_, [&](Location loc) {
            EntryType entry = from.levels_[loc.level].relocate_out(loc.slot);
            --from.len_;
            if (chain[k].len_ >= chain[k].max_insertions_ && k + 1 < chain.size()) {
                ElasticHashMap& outgrown = chain[k];
                move_entries(outgrown, chain, ++k);
            }
            chain[k].place_moved(std::move(entry));
        });
        from.reset_after_drain();
    }

    void reset_after_drain() noexcept {
        hints_.clear();
        batch_ = 0;
        quota_left_ = quotas_.empty() ? 0 : quotas_[0];
        max_level_ = 0;
        first_hint_ = Location{0, 0};
    }

    void release_entries() noexcept {
        for (Level& level : levels_) level.release_entries();
        len_ = 0;
    }

    std::vector<Level> levels_;
    elastic::LevelHints hints_;
    std::vector<std::uint32_t> quotas_;
    std::uint32_t len_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t max_insertions_ = 0;
    std::uint32_t batch_ = 0;
    std::uint32_t quota_left_ = 0;
    std::uint32_t max_level_ = 0;
    mutable Location first_hint_{0, 0};  // no entry lies before it in entry order
    double reserve_fraction_;
    double probe_scale_;
    std::uint64_t seed_;
    std::uint64_t global_seed_;
};

}  // namespace quorvel
