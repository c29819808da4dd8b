// Borrow flags: how an entry point keeps Python code it calls from changing
// the object it is working on.
//
// An entry point that reads or changes its receiver holds a shared or an
// exclusive borrow of it for its whole duration, including every call back
// into Python (a key's __hash__ or __eq__, another object's methods).  Such a callback that
// reaches the same object again is refused instead of seeing it half-way
// through a change: a shared borrow is refused while an exclusive one is
// held, an exclusive borrow while any is held.
//
// A flag is 0 when free, n > 0 while n shared borrows are held, and all
// ones while one exclusive borrow is held.  Thread-bound objects are only
// ever borrowed by their owner thread - every entry point checks the thread
// before it borrows (thread.hpp) - so their flag needs no read-modify-write:
// relaxed loads and stores suffice and cost nothing.  Objects usable from
// any thread (the options) use compare-and-swap.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorvel::python {

enum class Access : std::uint8_t { none, shared, exclusive };

inline constexpr std::uintptr_t EXCLUSIVELY_BORROWED = ~std::uintptr_t{0};

// Every entry point takes and drops a borrow; inlined, a constant Access
// folds them to a load, a compare and a store.
#define QUORVEL_HOT_INLINE [[gnu::always_inline]] inline

// The flag of an object that only its owner thread may touch.
class LocalBorrowFlag {
public:
    QUORVEL_HOT_INLINE bool try_acquire(Access access) noexcept {
        const std::uintptr_t word = word_.load(std::memory_order_relaxed);
        if (access == Access::shared) {
            if (word == EXCLUSIVELY_BORROWED) return false;
            word_.store(word + 1, std::memory_order_relaxed);
        } else if (access == Access::exclusive) {
            if (word != 0) return false;
            word_.store(EXCLUSIVELY_BORROWED, std::memory_order_relaxed);
        }
        return true;
    }
    // Whether an exclusive borrow is held, so that a shared one would be refused.
    QUORVEL_HOT_INLINE bool exclusively_held() const noexcept {
        return word_.load(std::memory_order_relaxed) == EXCLUSIVELY_BORROWED;
    }
    QUORVEL_HOT_INLINE void release(Access access) noexcept {
        if (access == Access::shared) {
            word_.store(word_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        } else if (access == Access::exclusive) {
            word_.store(0, std::memory_order_relaxed);
        }
    }

private:
    std::atomic<std::uintptr_t> word_{0};
};

// The flag of an object any thread may use: every change is one atomic
// read-modify-write.
class SharedBorrowFlag {
public:
    bool try_acquire(Access access) noexcept {
        if (access == Access::none) return true;
        std::uintptr_t word = word_.load(std::memory_order_relaxed);
        for (;;) {
            std::uintptr_t next;
            if (access == Access::shared) {
                if (word == EXCLUSIVELY_BORROWED) return false;
                next = word + 1;
            } else {
                if (word != 0) return false;
                next = EXCLUSIVELY_BORROWED;
            }
            if (word_.compare_exchange_weak(word, next, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return true;
            }
        }
    }
    void release(Access access) noexcept {
        if (access == Access::shared) {
            word_.fetch_sub(1, std::memory_order_release);
        } else if (access == Access::exclusive) {
            word_.store(0, std::memory_order_release);
        }
    }

private:
    std::atomic<std::uintptr_t> word_{0};
};

// Holds one borrow for a scope.  `release()` ends it early and `reacquire()`
// takes it again (the set operations drop the map's borrow while they
// iterate a foreign object).
template <class Flag>
class Borrow {
public:
    QUORVEL_HOT_INLINE Borrow(Flag& flag, Access access) noexcept
        : flag_(&flag), access_(access), held_(flag.try_acquire(access)) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    QUORVEL_HOT_INLINE ~Borrow() { release(); }

    explicit operator bool() const noexcept { return held_; }
    QUORVEL_HOT_INLINE void release() noexcept {
        if (held_) flag_->release(access_);
        held_ = false;
    }
    bool reacquire() noexcept { return held_ = flag_->try_acquire(access_); }

private:
    Flag* flag_;
    Access access_;
    bool held_;
};

// RuntimeError "Already mutably borrowed" / "Already borrowed".
void set_borrow_refused(Access access) noexcept;
// The same refusal as a PanicException ("Already mutably borrowed: ..."),
// for a borrow that a mutating operation further down the stack refused.
void set_borrow_refused_panic(Access access) noexcept;

}  // namespace quorvel::python
