// HashedAny: the key type of every map the module creates.
//
//     obj            strong reference to the key object
//     hash           its Python hash, computed once when the key enters an
//                    operation; never -1, never recomputed (growth, copies
//                    and popitem reuse it, so __hash__ runs once per call)
//     not_exact_str  the key's type is not exactly str
//
// The maps feed `hash` (all 64 bits) into their seeded map hash and compare
// keys with `KeyOps<HashedAny>::equal(stored, probe)`:
//
//   1. different hashes: unequal, no Python code runs;
//   2. the same object: equal (a NaN is found by the very object stored);
//   3. two exact str: equal when their contents are equal.  This is what
//      comparing their UTF-8 encodings gives, also for strings with lone
//      surrogates (those fall back to str's own comparison, which compares
//      code points too), without building any cached UTF-8 copy;
//   4. otherwise the interpreter's rich comparison, stored key on the left,
//      and its truth value.  An ordinary exception there is absorbed: the
//      keys count as unequal and the probe goes on.  A PanicException or a
//      BaseException such as KeyboardInterrupt is not: `equal` throws
//      PythonError with it pending, which aborts the core operation before
//      it changed anything, and the frame reports it.
#pragma once

#include <cstdint>
#include <optional>

#include "common/key.hpp"
#include "python/owned_ref.hpp"

namespace quorvel::python {

class HashedAny {
public:
    // Hashes `object` (borrowed) and takes a reference to it; nullopt with
    // the hash's exception set when it is unhashable or its __hash__ raises.
    static std::optional<HashedAny> wrap(PyObject* object) noexcept {
        const Py_hash_t hash = PyObject_Hash(object);
        if (hash == -1) return std::nullopt;
        return HashedAny(OwnedRef::from_borrowed(object), hash);
    }

    HashedAny(HashedAny&&) noexcept = default;
    HashedAny& operator=(HashedAny&&) noexcept = default;

    // A second strong reference with the stored hash; no __hash__ call.
    HashedAny dup() const noexcept { return HashedAny(object_.dup(), hash_, not_exact_str_); }

    PyObject* object() const noexcept { return object_.get(); }
    Py_hash_t hash() const noexcept { return hash_; }
    std::uint64_t hash_value() const noexcept { return static_cast<std::uint64_t>(hash_); }
    bool not_exact_str() const noexcept { return not_exact_str_; }

    // Step 4 of the equality above (the Python part), out of line.
    static bool python_equal(const HashedAny& stored, const HashedAny& probe);

private:
    HashedAny(OwnedRef object, Py_hash_t hash) noexcept
        : object_(std::move(object)), hash_(hash), not_exact_str_(!PyUnicode_CheckExact(object_.get())) {}
    HashedAny(OwnedRef object, Py_hash_t hash, bool not_exact_str) noexcept
        : object_(std::move(object)), hash_(hash), not_exact_str_(not_exact_str) {}

    OwnedRef object_;
    Py_hash_t hash_;
    bool not_exact_str_;
};

}  // namespace quorvel::python

namespace quorvel {

template <>
struct KeyOps<python::HashedAny> {
    static std::uint64_t hash(const python::HashedAny& key) noexcept { return key.hash_value(); }

    static bool equal(const python::HashedAny& stored, const python::HashedAny& probe) {
        if (stored.hash() != probe.hash()) return false;
        if (stored.object() == probe.object()) return true;
        if (!stored.not_exact_str() && !probe.not_exact_str()) {
            return PyUnicode_Equal(stored.object(), probe.object()) == 1;
        }
        return python::HashedAny::python_equal(stored, probe);
    }
};

}  // namespace quorvel
