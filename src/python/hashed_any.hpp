// HashedAny: the key type of every map the module creates.
//
//     obj            strong reference to the key object
//     hash           its Python hash, computed once when the key enters an
//                    operation; never -1, never recomputed (growth, copies
//                    and popitem reuse it, so __hash__ runs once per call)
//
// 16 bytes, so that an entry (key and value reference) is 24.  Whether the
// key is exactly a str is not stored: equality needs it only after the
// hashes matched and the objects differ, and then it reads both objects
// anyway, so asking their types costs nothing.
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
//      it changed anything, and the entry point reports it.
//
// KeyProbe is the key of a lookup: the caller's object, hashed, seen as a
// HashedAny without taking a reference, so a lookup allocates nothing and
// touches no reference count of the key.  It lives for one call, during
// which the caller's reference keeps the object alive.
#pragma once

#include <cstdint>
#include <optional>

#include "common/key.hpp"
#include "python/owned_ref.hpp"

namespace quorvel::python {

// The object's hash as PyObject_Hash gives it; for an exact str whose hash
// is already cached (every str used as a key before, every literal), the
// cached value without a call.  The field is read with a relaxed atomic
// load: under the free-threaded interpreter another thread may be storing
// it, always the same value.
inline Py_hash_t hash_of(PyObject* object) noexcept {
    if (PyUnicode_CheckExact(object)) {
        const Py_hash_t cached = __atomic_load_n(&reinterpret_cast<PyASCIIObject*>(object)->hash, __ATOMIC_RELAXED);
        if (cached != -1) return cached;
    }
    return PyObject_Hash(object);
}

class HashedAny {
public:
    // Hashes `object` (borrowed) and takes a reference to it; nullopt with
    // the hash's exception set when it is unhashable or its __hash__ raises.
    static std::optional<HashedAny> wrap(PyObject* object) noexcept {
        const Py_hash_t hash = hash_of(object);
        if (hash == -1) return std::nullopt;
        return HashedAny(OwnedRef::from_borrowed(object), hash);
    }

    HashedAny(HashedAny&&) noexcept = default;
    HashedAny& operator=(HashedAny&&) noexcept = default;

    // A second strong reference with the stored hash; no __hash__ call.
    HashedAny dup() const noexcept { return HashedAny(object_.dup(), hash_); }

    PyObject* object() const noexcept { return object_.get(); }
    Py_hash_t hash() const noexcept { return hash_; }
    std::uint64_t hash_value() const noexcept { return static_cast<std::uint64_t>(hash_); }
    bool not_exact_str() const noexcept { return !PyUnicode_CheckExact(object_.get()); }

    // Step 4 of the equality above (the Python part), out of line.
    static bool python_equal(const HashedAny& stored, const HashedAny& probe);

private:
    friend class KeyProbe;

    HashedAny(OwnedRef object, Py_hash_t hash) noexcept : object_(std::move(object)), hash_(hash) {}

    OwnedRef object_;
    Py_hash_t hash_;
};

static_assert(sizeof(HashedAny) == 2 * sizeof(void*), "a key is a reference and a hash");

class KeyProbe {
public:
    // Hashes `object` (borrowed); false when that raised, with the
    // exception set.
    explicit KeyProbe(PyObject* object) noexcept : key_(OwnedRef::steal(object), hash_of(object)) {}
    ~KeyProbe() { (void)key_.object_.release(); }  // the reference was never ours
    KeyProbe(const KeyProbe&) = delete;
    KeyProbe& operator=(const KeyProbe&) = delete;

    explicit operator bool() const noexcept { return key_.hash_ != -1; }
    const HashedAny& key() const noexcept { return key_; }
    // The key as a map stores it: a reference of its own, the same hash.
    HashedAny owned() const noexcept { return key_.dup(); }

private:
    HashedAny key_;
};

}  // namespace quorvel::python

namespace quorvel {

template <>
struct KeyOps<python::HashedAny> {
    static std::uint64_t hash(const python::HashedAny& key) noexcept { return key.hash_value(); }

    static bool equal(const python::HashedAny& stored, const python::HashedAny& probe) {
        if (stored.hash() != probe.hash()) return false;
        if (stored.object() == probe.object()) return true;
        if (!probe.not_exact_str() && !stored.not_exact_str()) {
            return PyUnicode_Equal(stored.object(), probe.object()) == 1;
        }
        return python::HashedAny::python_equal(stored, probe);
    }
};

}  // namespace quorvel
