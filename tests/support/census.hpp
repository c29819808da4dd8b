// Keys and values that watch how a map treats them.
//
// Every FuzzKey and FuzzValue object counts itself while it exists and
// carries a state word (live, moved-from, destroyed).  A map that leaks an
// entry leaves the counts above its len; one that destroys an entry twice,
// moves out of an entry it already moved, compares or hashes a moved-from
// key, or reads a destroyed one, trips a state check.  Those checks run
// inside destructors and noexcept moves, so they do not throw: they note the
// first fault in the census, and the interpreter reports it after the step.
//
// Key equality counts its calls (a placement, a removal by location and a
// rebuild must compare none) and can be armed to throw after a given number
// of calls, as the binding layer's equality does for a Python exception.
//
// Each key object has a serial number that survives moves, so a test can
// tell whether the map kept the stored key or took the one passed in.
//
// While a release log is set, every live key or value that is destroyed
// appends ('k', id) or ('v', payload) to it: the order in which clear and
// destruction release entries.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::fuzz {

struct Census {
    static inline std::int64_t keys = 0;      // FuzzKey objects alive (moved-from included)
    static inline std::int64_t values = 0;    // FuzzValue objects alive (moved-from included)
    static inline std::uint64_t comparisons = 0;
    static inline int abort_countdown = -1;   // comparisons left before one throws; -1: never
    static inline std::uint32_t next_serial = 0;
    static inline std::string fault;          // the first misuse noticed, empty if none
    static inline std::vector<std::pair<char, std::uint64_t>>* release_log = nullptr;

    static void note(const std::string& what) noexcept {
        if (fault.empty()) fault = what;
    }
    static void reset() noexcept {
        keys = 0;
        values = 0;
        comparisons = 0;
        abort_countdown = -1;
        next_serial = 0;
        fault.clear();
        release_log = nullptr;
    }
};

// Thrown by an armed key comparison: the operation must leave the map as it was.
struct ComparisonAborted : std::exception {
    const char* what() const noexcept override { return "comparison aborted"; }
};

// Key equality is called in the hottest loops; tracing its comparisons for
// coverage would only slow the fuzzer down.
#if defined(__clang__)
#define QUORVEL_FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define QUORVEL_FUZZ_NO_COVERAGE
#endif

enum class Life : std::uint32_t { live = 0x4C495645, moved = 0x4D4F5645, dead = 0xDEADDEAD };

class FuzzKey {
public:
    FuzzKey(std::uint32_t id, std::uint64_t hash) noexcept : id_(id), serial_(Census::next_serial++), hash_(hash) {
        ++Census::keys;
    }
    FuzzKey(FuzzKey&& other) noexcept : id_(other.id_), serial_(other.serial_), hash_(other.hash_) {
        if (other.life_ != Life::live) Census::note("moved out of a key that was not live");
        other.life_ = Life::moved;
        ++Census::keys;
    }
    FuzzKey& operator=(FuzzKey&& other) noexcept {
        if (life_ == Life::dead || other.life_ != Life::live) Census::note("key move-assigned from or to a dead key");
        id_ = other.id_;
        serial_ = other.serial_;
        hash_ = other.hash_;
        life_ = Life::live;
        other.life_ = Life::moved;
        return *this;
    }
    FuzzKey(const FuzzKey&) = delete;
    FuzzKey& operator=(const FuzzKey&) = delete;
    ~FuzzKey() {
        if (life_ == Life::dead) Census::note("key destroyed twice");
        if (life_ == Life::live && Census::release_log != nullptr) Census::release_log->emplace_back('k', id_);
        life_ = Life::dead;
        --Census::keys;
    }

    std::uint32_t id() const noexcept { return id_; }
    std::uint32_t serial() const noexcept { return serial_; }
    bool live() const noexcept { return life_ == Life::live; }

    std::uint64_t hash_value() const noexcept {
        if (life_ != Life::live) Census::note("hashed a key that was not live");
        return hash_;
    }

    QUORVEL_FUZZ_NO_COVERAGE friend bool operator==(const FuzzKey& stored, const FuzzKey& probe) {
        if (stored.life_ != Life::live || probe.life_ != Life::live) Census::note("compared a key that was not live");
        ++Census::comparisons;
        if (Census::abort_countdown == 0) {
            Census::abort_countdown = -1;
            throw ComparisonAborted{};
        }
        if (Census::abort_countdown > 0) --Census::abort_countdown;
        return stored.id_ == probe.id_;
    }

private:
    std::uint32_t id_;
    std::uint32_t serial_;
    std::uint64_t hash_;
    Life life_ = Life::live;
};

class FuzzValue {
public:
    explicit FuzzValue(std::uint64_t payload) noexcept : payload_(payload) { ++Census::values; }
    FuzzValue(FuzzValue&& other) noexcept : payload_(other.payload_) {
        if (other.life_ != Life::live) Census::note("moved out of a value that was not live");
        other.life_ = Life::moved;
        ++Census::values;
    }
    // A moved-from value may be assigned to (std::exchange does that).
    FuzzValue& operator=(FuzzValue&& other) noexcept {
        if (life_ == Life::dead || other.life_ != Life::live) Census::note("value move-assigned from or to a dead value");
        payload_ = other.payload_;
        life_ = Life::live;
        other.life_ = Life::moved;
        return *this;
    }
    FuzzValue(const FuzzValue&) = delete;
    FuzzValue& operator=(const FuzzValue&) = delete;
    ~FuzzValue() {
        if (life_ == Life::dead) Census::note("value destroyed twice");
        if (life_ == Life::live && Census::release_log != nullptr) Census::release_log->emplace_back('v', payload_);
        life_ = Life::dead;
        --Census::values;
    }

    bool live() const noexcept { return life_ == Life::live; }
    std::uint64_t payload() const noexcept {
        if (life_ != Life::live) Census::note("read a value that was not live");
        return payload_;
    }

private:
    std::uint64_t payload_;
    Life life_ = Life::live;
};

}  // namespace quorvel::fuzz
