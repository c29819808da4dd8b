// The operation interpreter behind both fuzz harnesses (and their replay in
// the C++ tests).  It reads a byte string as a map configuration followed by
// a program of map operations, runs the program on a core map and on a
// std::unordered_map side by side, and fails at the first step where they
// disagree or the map breaks one of its own rules.
//
// Input:
//
//   header   [0] capacity   [1] reserve fraction   [2] probe option
//            [3] key hashes [4] key range          [5..12] per-map seed
//   program  opcode byte, then that operation's operand bytes (below)
//
// Missing bytes read as 0, so every byte string is a valid input.  How the
// first three bytes become options is the map adapter's business; they
// cover the extremes the core accepts (capacity 0, reserve fractions at and
// past both clamps, NaN and infinities, subnormal and huge probe scales,
// probe limits of 0 and 2^32 - 1).
//
// Keys.  Operations on single keys draw ids from a small range (1 to 64
// keys), so they hit present keys, absent keys and tombstones alike; bulk
// operations add fresh ids.  A key's hash is its id well mixed, its id as
// it is, one of 1 to 16 hashes, or one constant for all keys: with the last
// two, collisions, full windows, overflow placement and rebuilds are the
// common case rather than the rare one.
//
// Checks after every step: the reply of the operation (previous value,
// found value, removed entry) against the reference; len; the census (no
// key or value object alive but the map's own, no double destruction, no
// use of a moved-from object); no key comparison in placements of absent
// keys (insert_new), removals by location, clear and rebuilds; the stored
// key kept when a value is replaced.  A full check (operation `check`, and
// after the program) walks the map in entry order and compares it with
// for_each, first_location and the reference, then asks the adapter for the
// map's structural invariants.  An armed comparison that throws must leave
// the map exactly as it was.
//
// Memory stays bounded: a new key whose insertion would grow the map past
// kSlotBudget slots is skipped (by both sides), as is an explicit resize
// past it, and a program's total work is capped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "census.hpp"
#include "common/seed.hpp"

namespace quorvel::fuzz {

// Most slots a map may grow to (summed over the maps one rebuild builds).
inline constexpr std::uint64_t kSlotBudget = std::uint64_t{1} << 18;
// Work per input: one unit per element operation (single or inside a bulk
// operation), and one per 64 slots for each full check besides the final
// one, so that a program on a big map stays as quick as one on a small map.
inline constexpr std::uint32_t kWorkBudget = 1u << 14;

// The global seed is made once per process from the clock and addresses;
// the harness fixes it instead (a valid seed, every word with its marker
// bits), so that an input replays exactly, in the fuzzer and in the
// regression tests alike.
inline void fix_global_seed() noexcept {
    GLOBAL_SEED_STORAGE.words = SharedSeed::from_u64(0x243F'6A88'85A3'08D3ull).words;
    GLOBAL_SEED_STORAGE.state.store(static_cast<std::uint8_t>(SeedState::ready), std::memory_order_release);
}

struct OracleFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
    bool empty() const noexcept { return pos_ >= size_; }
    std::uint8_t u8() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t u64() noexcept {
        std::uint64_t x = 0;
        for (int i = 0; i < 8; ++i) x |= std::uint64_t{u8()} << (8 * i);
        return x;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline std::uint64_t mix64(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Capacity from header byte 0: 0 to 191 as they are, else a power of two
// from 256 to 32768 give or take up to four slots.
inline std::uint32_t decode_capacity(std::uint8_t b) noexcept {
    if (b < 192) return b;
    const std::uint32_t k = b - 192u;
    return (1u << (8 + k / 8)) + k % 8 - 4;
}

// How ids become key hashes, from header byte 3.
struct KeyHashes {
    enum class Mode : std::uint8_t { mixed, identity, few, constant } mode;
    std::uint32_t distinct;  // for `few`: how many hashes there are

    static KeyHashes decode(std::uint8_t b) noexcept {
        return KeyHashes{static_cast<Mode>(b & 3), 1u + ((b >> 2) & 15u)};
    }
    std::uint64_t of(std::uint32_t id) const noexcept {
        switch (mode) {
            case Mode::mixed: return mix64(id);
            case Mode::identity: return id;
            case Mode::few: return mix64(id % distinct);
            case Mode::constant: break;
        }
        return 0x5EED'5EED'5EED'5EEDull;
    }
};

enum class Op : std::uint8_t {
    insert,         // id
    insert_new,     // id (absent keys only; a present one is looked up instead)
    get,            // id
    remove,         // id
    popitem,        //
    clear,          //
    check,          // full check
    bulk_insert,    // n: 1..128 fresh keys, by insert_new (bit 7 clear) or insert
    bulk_remove,    // n: 1..128 keys, by remove (bit 7 clear) or remove_at
    churn,          // n: 1..128 rounds of remove one key, then re-add it (bit 7 clear) or add a fresh one
    arm_abort,      // k: the next single-key operation's comparison k % 8 throws
    move,           // move the map out and back (and move-assign it to itself)
    remove_nth,     // k: remove_at of entry k mod len in entry order
    resize,         // r: rebuild at the same, double or half capacity
    update_nth,     // k: insert over the value of present key k mod len
    light_check,    // capacity, len and allocated_bytes agree
    count
};

template <class Adapter>
class Interpreter {
public:
    using Map = typename Adapter::Map;
    using Location = typename Adapter::Location;

    Interpreter(const std::uint8_t* data, std::size_t size)
        : in_(data, size),
          header_(Header::read(in_)),
          config_(Adapter::decode(header_.capacity, header_.reserve_fraction, header_.probe)),
          hashes_(KeyHashes::decode(header_.hashes)),
          key_range_(1u + header_.key_range % 64u),
          heavy_collisions_(hashes_.mode == KeyHashes::Mode::few || hashes_.mode == KeyHashes::Mode::constant),
          map_(Adapter::make(config_, header_.seed)) {}

    void run() {
        full_check();
        while (!in_.empty() && work_ < kWorkBudget) {
            const auto op = static_cast<Op>(in_.u8() % static_cast<std::uint8_t>(Op::count));
            step(op);
            ++step_;
        }
        disarm();
        full_check();
        replace_map_checked();
    }

private:
    struct Header {
        std::uint8_t capacity, reserve_fraction, probe, hashes, key_range;
        std::uint64_t seed;

        static Header read(Bytes& in) noexcept {
            Header h{};
            h.capacity = in.u8();
            h.reserve_fraction = in.u8();
            h.probe = in.u8();
            h.hashes = in.u8();
            h.key_range = in.u8();
            h.seed = in.u64();
            return h;
        }
    };

    struct Stored {
        std::uint64_t payload;
        std::uint32_t key_serial;
        friend bool operator==(const Stored&, const Stored&) = default;
    };

    // One entry as the map shows it in entry order.
    struct Seen {
        std::uint64_t location;
        std::uint32_t id;
        std::uint64_t payload;
        friend bool operator==(const Seen&, const Seen&) = default;
    };

    struct Snapshot {
        std::uint32_t len, capacity;
        std::vector<Seen> entries;
        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    [[noreturn]] void fail(const std::string& what) const {
        std::ostringstream out;
        out << "step " << step_ << ": " << what << " (len " << map_.len() << ", capacity " << map_.capacity()
            << ", reference " << ref_.size() << ")";
        throw OracleFailure(out.str());
    }
    void expect(bool ok, const char* what) const {
        if (!ok) fail(what);
    }

    // An armed comparison is meant for the map's operation: once that has
    // returned, the interpreter's own lookups must not trip it.
    static void disarm() noexcept { Census::abort_countdown = -1; }

    FuzzKey key(std::uint32_t id) const { return FuzzKey(id, hashes_.of(id)); }
    FuzzValue value() { return FuzzValue(next_payload_++); }
    std::uint32_t small_id() { return in_.u8() % key_range_; }
    bool present(std::uint32_t id) const { return ref_.contains(id); }

    // The k-th present id in the reference's own order.
    std::uint32_t nth_present(std::uint32_t k) const {
        auto it = ref_.begin();
        std::advance(it, k % ref_.size());
        return it->first;
    }

    void step(Op op) {
        const bool armed = Census::abort_countdown >= 0;
        const bool single_key = op == Op::insert || op == Op::get || op == Op::remove || op == Op::update_nth;
        if (armed && !single_key) disarm();
        if (armed && single_key) {
            aborted_step(op);
        } else {
            dispatch(op);
        }
        after_step();
    }

    // A step whose key comparison may throw: if it does, nothing changed.
    void aborted_step(Op op) {
        const Snapshot before = snapshot();
        const auto ref_before = ref_;
        try {
            dispatch(op);
        } catch (const ComparisonAborted&) {
            expect(snapshot() == before, "an aborted operation changed the map");
            expect(ref_ == ref_before, "interpreter: reference changed by an aborted step");
        }
        disarm();
    }

    // One element operation.  Where keys share a few hashes, a miss or a
    // new key compares it with every entry of its hash, so an operation
    // costs more the fuller the map is.
    void charge_element() {
        work_ += 1 + (heavy_collisions_ ? map_.len() / 32 : 0);
    }

    void dispatch(Op op) {
        charge_element();
        switch (op) {
            case Op::insert: insert(small_id()); break;
            case Op::insert_new: insert_new(small_id()); break;
            case Op::get: get(small_id()); break;
            case Op::remove: remove(small_id()); break;
            case Op::popitem: popitem(); break;
            case Op::clear: clear(); break;
            case Op::check: budgeted_full_check(); break;
            case Op::bulk_insert: bulk_insert(in_.u8()); break;
            case Op::bulk_remove: bulk_remove(in_.u8()); break;
            case Op::churn: churn(in_.u8()); break;
            case Op::arm_abort: Census::abort_countdown = in_.u8() % 8; break;
            case Op::move: move(); break;
            case Op::remove_nth: remove_nth(in_.u8()); break;
            case Op::resize: resize(in_.u8()); break;
            case Op::update_nth: update_nth(in_.u8()); break;
            case Op::light_check: light_check(); break;
            case Op::count: break;
        }
    }

    void after_step() const {
        if (!Census::fault.empty()) fail(Census::fault);
        expect(map_.len() == ref_.size(), "len differs from the reference");
        expect(Census::keys == static_cast<std::int64_t>(map_.len()), "key objects alive besides the map's entries");
        expect(Census::values == static_cast<std::int64_t>(map_.len()), "value objects alive besides the map's entries");
    }

    // ---- single keys ---------------------------------------------------------

    void insert(std::uint32_t id) {
        if (!present(id) && !Adapter::growth_fits(map_, key(id))) return;
        insert_checked(id);
    }

    void insert_checked(std::uint32_t id) {
        FuzzKey k = key(id);
        const std::uint32_t serial = k.serial();
        const std::optional<Location> chosen = Adapter::chosen_slot(map_, k);
        const std::uint64_t rebuilds = map_.rebuilds();
        FuzzValue v = value();
        const std::uint64_t payload = v.payload();
        std::optional<FuzzValue> old = map_.insert(std::move(k), std::move(v));
        disarm();
        const auto it = ref_.find(id);
        if (it != ref_.end()) {
            expect(old.has_value(), "insert of a present key returned nothing");
            expect(old->payload() == it->second.payload, "insert returned the wrong previous value");
            expect(stored_key_serial(id) == it->second.key_serial, "insert over a present key replaced the stored key");
            it->second.payload = payload;
        } else {
            expect(!old.has_value(), "insert of an absent key returned a value");
            ref_.emplace(id, Stored{payload, serial});
            // Unless the map rebuilt itself first, the key lands where the
            // slot choice said.
            if (chosen && map_.rebuilds() == rebuilds) {
                expect(find(id) == chosen, "new key not placed in the slot the rules choose");
            }
        }
    }

    void insert_new(std::uint32_t id) {
        if (present(id)) {
            get(id);
            return;
        }
        if (!Adapter::growth_fits(map_, key(id))) return;
        add_absent(id);
    }

    void add_absent(std::uint32_t id) {
        FuzzKey k = key(id);
        const std::uint32_t serial = k.serial();
        const std::uint64_t payload = next_payload_;
        const std::uint64_t comparisons = Census::comparisons;
        map_.insert_new(std::move(k), value());
        expect(Census::comparisons == comparisons, "insert_new compared keys");
        ref_.emplace(id, Stored{payload, serial});
    }

    // The interpreter's own lookup: an armed comparison is kept for the
    // map operation that follows.
    std::optional<Location> find(std::uint32_t id) const {
        const int armed = std::exchange(Census::abort_countdown, -1);
        const FuzzKey k = key(id);
        const auto loc = map_.find(k, map_.hash_key(k));
        Census::abort_countdown = armed;
        return loc;
    }

    // A removal that rebuilds the map costs in proportion to its capacity
    // (with a reserve fraction near 1 a map can be much larger than its
    // len, and every removal from a one-slot level rebuilds it).
    void charge_removal(Location loc) {
        if (Adapter::rebuilds_on_removal(map_, loc)) work_ += map_.capacity() / 64;
    }

    std::uint32_t stored_key_serial(std::uint32_t id) const {
        const auto loc = find(id);
        if (!loc) fail("present key not found");
        return map_.entry_at(*loc).key.serial();
    }

    void get(std::uint32_t id) {
        const FuzzKey k = key(id);
        FuzzValue* v = map_.get(k);
        const FuzzValue* cv = std::as_const(map_).get(k);
        const auto loc = map_.find(k, map_.hash_key(k));
        const auto it = ref_.find(id);
        if (it == ref_.end()) {
            expect(v == nullptr && cv == nullptr && !loc, "absent key found");
            return;
        }
        expect(v != nullptr && v == cv && loc.has_value(), "present key not found");
        expect(v->payload() == it->second.payload, "get returned the wrong value");
        const auto& entry = map_.entry_at(*loc);
        expect(&entry.value == v, "find and get disagree");
        expect(entry.key.id() == id && entry.key.serial() == it->second.key_serial, "found the wrong key object");
    }

    void remove(std::uint32_t id) {
        if (present(id)) {
            const auto loc = find(id);
            expect(loc.has_value(), "present key not found");
            charge_removal(*loc);
        }
        std::optional<FuzzValue> out = map_.remove(key(id));
        disarm();
        const auto it = ref_.find(id);
        if (it == ref_.end()) {
            expect(!out.has_value(), "remove of an absent key returned a value");
            return;
        }
        expect(out.has_value(), "remove of a present key returned nothing");
        expect(out->payload() == it->second.payload, "remove returned the wrong value");
        ref_.erase(it);
    }

    void update_nth(std::uint8_t k) {
        if (ref_.empty()) return;
        insert_checked(nth_present(k));
    }

    // ---- removal by location ------------------------------------------------------

    void remove_at_checked(Location loc) {
        const auto& stored = map_.entry_at(loc);
        const std::uint32_t id = stored.key.id();
        const auto it = ref_.find(id);
        expect(it != ref_.end(), "map holds a key the reference does not");
        charge_removal(loc);
        const std::uint64_t comparisons = Census::comparisons;
        auto entry = map_.remove_at(loc);
        expect(Census::comparisons == comparisons, "remove_at compared keys");
        expect(entry.key.id() == id && entry.key.serial() == it->second.key_serial, "remove_at returned another key");
        expect(entry.value.payload() == it->second.payload, "remove_at returned the wrong value");
        ref_.erase(it);
    }

    void popitem() {
        const std::optional<Location> loc = map_.first_location();
        if (ref_.empty()) {
            expect(!loc, "first_location of an empty map");
            return;
        }
        expect(loc.has_value(), "no first_location in a map with entries");
        const auto first = Adapter::nth_location(map_, 0);
        expect(first && Adapter::code(*first) == Adapter::code(*loc), "first_location is not the first entry");
        remove_at_checked(*loc);
    }

    void remove_nth(std::uint8_t k) {
        if (ref_.empty()) return;
        const auto loc = Adapter::nth_location(map_, k % map_.len());
        expect(loc.has_value(), "entry order shorter than len");
        remove_at_checked(*loc);
    }

    // ---- whole-map operations ----------------------------------------------------

    // What releasing every entry in entry order logs: each key, then its value.
    std::vector<std::pair<char, std::uint64_t>> expected_release_order() const {
        std::vector<std::pair<char, std::uint64_t>> order;
        for (const Seen& seen : entry_order()) {
            order.emplace_back('k', seen.id);
            order.emplace_back('v', seen.payload);
        }
        return order;
    }

    using ReleaseLog = std::vector<std::pair<char, std::uint64_t>>;

    void expect_release_order(const ReleaseLog& released, const ReleaseLog& expected, const char* what) const {
        if (released == expected) return;
        std::size_t i = 0;
        while (i < released.size() && i < expected.size() && released[i] == expected[i]) ++i;
        const auto show = [](const ReleaseLog& log, std::size_t j) {
            return j < log.size() ? log[j].first + std::to_string(log[j].second) : std::string("nothing");
        };
        fail(std::string(what) + " did not release the entries in entry order, key before value: release " +
             std::to_string(i) + " of " + std::to_string(expected.size()) + " was " + show(released, i) +
             ", expected " + show(expected, i));
    }

    // Runs f with the release log on; returns what it logged.
    template <class F>
    std::vector<std::pair<char, std::uint64_t>> logging_releases(F&& f) {
        std::vector<std::pair<char, std::uint64_t>> log;
        Census::release_log = &log;
        f();
        Census::release_log = nullptr;
        return log;
    }

    void clear() {
        const std::uint32_t capacity = map_.capacity();
        const std::uint64_t comparisons = Census::comparisons;
        const auto expected = expected_release_order();
        const auto released = logging_releases([&] { map_.clear(); });
        expect_release_order(released, expected, "clear");
        expect(Census::comparisons == comparisons, "clear compared keys");
        expect(map_.capacity() == capacity, "clear changed the capacity");
        expect(!map_.first_location(), "first_location after clear");
        ref_.clear();
    }

    void bulk_insert(std::uint8_t b) {
        const std::uint32_t n = 1u + (b & 127u);
        for (std::uint32_t i = 0; i < n && work_ < kWorkBudget; ++i, charge_element()) {
            const std::uint32_t id = next_bulk_id_;
            if (!Adapter::growth_fits(map_, key(id))) return;
            ++next_bulk_id_;
            if (b & 128u) {
                insert_checked(id);
            } else {
                add_absent(id);
            }
            expect(map_.len() == ref_.size(), "len differs from the reference");
        }
    }

    void bulk_remove(std::uint8_t b) {
        const std::uint32_t n = 1u + (b & 127u);
        for (std::uint32_t i = 0; i < n && !ref_.empty() && work_ < kWorkBudget; ++i, charge_element()) {
            const std::uint32_t id = ref_.begin()->first;
            if (b & 128u) {
                const auto loc = find(id);
                expect(loc.has_value(), "present key not found");
                remove_at_checked(*loc);
            } else {
                remove(id);
            }
            expect(map_.len() == ref_.size(), "len differs from the reference");
        }
    }

    // Removal and insertion in turn at a steady fill: tombstones pile up
    // until a region rebuilds.
    void churn(std::uint8_t b) {
        const std::uint32_t n = 1u + (b & 127u);
        for (std::uint32_t i = 0; i < n && !ref_.empty() && work_ < kWorkBudget; ++i, charge_element()) {
            const std::uint32_t victim = nth_present(i * 7u);
            remove(victim);
            const std::uint32_t id = (b & 128u) ? next_bulk_id_++ : victim;
            if (!present(id) && !Adapter::growth_fits(map_, key(id))) return;
            insert_checked(id);
        }
    }

    // Assigning a fresh map destroys the old one: it must release its
    // entries in entry order, key before value.
    void replace_map_checked() {
        const auto expected = expected_release_order();
        const auto released = logging_releases([&] { map_ = Adapter::make(config_, header_.seed); });
        expect_release_order(released, expected, "destruction");
        ref_.clear();
    }

    void move() {
        Map moved(std::move(map_));
        expect(moved.len() == ref_.size(), "move construction lost entries");
        expect(map_.len() == 0, "a moved-from map still has entries");
        map_ = std::move(moved);
        Map& alias = map_;
        map_ = std::move(alias);
        expect(map_.len() == ref_.size(), "move assignment lost entries");
        if (!ref_.empty()) get(ref_.begin()->first);
    }

    void resize(std::uint8_t r) {
        const std::uint32_t capacity = map_.capacity();
        std::uint32_t target = capacity;
        if (r % 3 == 1) target = capacity == 0 ? 16 : (capacity >= 0x8000'0000u ? 0xFFFF'FFFFu : 2 * capacity);
        if (r % 3 == 2) target = capacity / 2;
        if (!Adapter::resize_fits(map_, target)) return;
        work_ += target / 64;
        const std::uint64_t comparisons = Census::comparisons;
        map_.resize(target);
        expect(Census::comparisons == comparisons, "a rebuild compared keys");
        expect(map_.capacity() >= target, "resize left a smaller capacity");
        budgeted_full_check();
    }

    void light_check() const {
        expect(map_.len() <= map_.capacity(), "len above capacity");
        expect(map_.capacity() == 0 || map_.allocated_bytes() != 0, "a map with slots reports no allocation");
        expect(map_.first_location_from({}).has_value() == (map_.len() != 0), "first_location disagrees with len");
    }

    // ---- full check -----------------------------------------------------------------

    void budgeted_full_check() {
        // A walk of the map, and a lookup per entry (comparing it with every
        // entry of its hash where keys share a few hashes).
        const std::uint64_t scan = map_.capacity() / 64;
        const std::uint64_t cost = scan + (heavy_collisions_ ? map_.len() * map_.len() / 1024 : 0);
        if (work_ + cost >= kWorkBudget) return;
        work_ += cost;
        full_check();
    }

    std::vector<Seen> entry_order() const {
        std::vector<Seen> seen;
        Adapter::for_each_location(map_, [&](Location loc, const auto& entry) {
            seen.push_back(Seen{Adapter::code(loc), entry.key.id(), entry.value.payload()});
        });
        return seen;
    }

    Snapshot snapshot() const { return Snapshot{map_.len(), map_.capacity(), entry_order()}; }

    void full_check() const {
        const std::vector<Seen> seen = entry_order();
        expect(seen.size() == map_.len(), "entry order and len disagree");
        std::size_t i = 0;
        bool same = true;
        map_.for_each([&](const FuzzKey& k, const FuzzValue& v) {
            same = same && i < seen.size() && seen[i].id == k.id() && seen[i].payload == v.payload();
            ++i;
        });
        expect(same && i == seen.size(), "for_each and the entry order disagree");
        std::unordered_set<std::uint32_t> ids;
        for (std::size_t j = 0; j < seen.size(); ++j) {
            if (j > 0) expect(seen[j - 1].location < seen[j].location, "entry order not ascending");
            expect(ids.insert(seen[j].id).second, "a key is stored twice");
            const auto it = ref_.find(seen[j].id);
            expect(it != ref_.end(), "map holds a key the reference does not");
            expect(it->second.payload == seen[j].payload, "map holds the wrong value");
        }
        expect(ids.size() == ref_.size(), "map lacks keys of the reference");
        const auto first = map_.first_location_from({});
        expect(first.has_value() == !seen.empty(), "first_location disagrees with the entry order");
        if (first) expect(Adapter::code(*first) == seen[0].location, "first_location is not the first entry");
        const std::string broken = Adapter::invariant_violation(map_, config_);
        if (!broken.empty()) fail("invariant: " + broken);
    }

    Bytes in_;
    Header header_;
    typename Adapter::Config config_;
    KeyHashes hashes_;
    std::uint32_t key_range_;
    bool heavy_collisions_;
    Map map_;
    std::unordered_map<std::uint32_t, Stored> ref_;
    std::uint64_t next_payload_ = 1;
    std::uint32_t next_bulk_id_ = 1000;
    std::uint32_t work_ = 0;
    std::uint32_t step_ = 0;
};

// Runs one input; throws OracleFailure at the first fault.
template <class Adapter>
void run_program(const std::uint8_t* data, std::size_t size) {
    fix_global_seed();
    Census::reset();
    {
        Interpreter<Adapter> program(data, size);
        program.run();
    }
    if (!Census::fault.empty()) throw OracleFailure("after the map's destruction: " + Census::fault);
    if (Census::keys != 0 || Census::values != 0) {
        throw OracleFailure("the map's destruction left " + std::to_string(Census::keys) + " keys and " +
                            std::to_string(Census::values) + " values alive");
    }
}

}  // namespace quorvel::fuzz
