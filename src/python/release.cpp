// The per-thread release depth and pending list (see release.hpp).
#include "python/release.hpp"

#include <new>
#include <vector>

namespace quorvel::python {

namespace {

struct Deferred {
    PyObject* object;
    void (*release)(PyObject*);
};

struct ThreadReleases {
    int depth = 0;
    std::vector<Deferred> pending;
};

thread_local ThreadReleases releases;

// A list that grew for one wide release is not kept at that size.
constexpr std::size_t KEPT_PENDING_CAPACITY = 256;

// Set `object` aside for the outermost release; false when the list cannot grow.
bool defer(ThreadReleases& state, PyObject* object, void (*release)(PyObject*)) noexcept {
    try {
        state.pending.push_back({object, release});
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void drain(ThreadReleases& state) noexcept {
    while (!state.pending.empty()) {
        const Deferred next = state.pending.back();
        state.pending.pop_back();
        next.release(next.object);  // may set aside more objects
    }
    if (state.pending.capacity() > KEPT_PENDING_CAPACITY) std::vector<Deferred>().swap(state.pending);
}

}  // namespace

void release_bounded(PyObject* object, void (*release)(PyObject*)) noexcept {
    ThreadReleases& state = releases;
    if (state.depth >= MAX_NESTED_RELEASES && defer(state, object, release)) return;
    ++state.depth;
    release(object);
    if (state.depth == 1) drain(state);
    --state.depth;
}

}  // namespace quorvel::python
