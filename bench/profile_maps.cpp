// A plain driver for profilers (valgrind --tool=callgrind, perf record), and
// the source of the counters per operation (counters.md, via run.py).
//
//   profile_maps MAP SLOTS DELTA [LOOKUP_ROUNDS]
//       MAP: elastic funnel absl boost robin std
//
// Fills a table of about SLOTS slots to load 1 - DELTA (sized as the native
// benchmark sizes it, quorvel_adapters.hpp), then looks up every stored key
// in shuffled order and as many absent keys, LOOKUP_ROUNDS times (default 1).
// Each phase is its own opaque (noipa: not inlined, not merged) function, so
// a profile attributes every instruction to one phase.  Each phase also has
// a twin that runs the same loop over the same keys with the map operation
// left out, so that the loop's own cost can be subtracted.
//
// Under callgrind, every phase and every twin is bracketed by a client
// request that zeroes the counters before it and dumps them after it, under
// the phase's name (fill, fill_loop, hit, hit_loop, miss, miss_loop): each
// dump then holds exactly that phase, with the table's setup and the key
// generation left out, while the cache simulation runs throughout, so each
// phase starts from the cache state the previous one left.  Outside
// valgrind the requests do nothing.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define QUORVEL_PHASE_BEGIN() CALLGRIND_ZERO_STATS
#define QUORVEL_PHASE_END(name) CALLGRIND_DUMP_STATS_AT(name)
#else
#define QUORVEL_PHASE_BEGIN() ((void)0)
#define QUORVEL_PHASE_END(name) ((void)(name))
#endif

#include "peer_adapters.hpp"
#include "quorvel_adapters.hpp"

namespace quorvel::bench {
namespace {

// Keeps a value alive without producing code of its own.
template <class T>
inline void keep(T& value) {
    asm volatile("" : "+r"(value));
}

template <class Adapter>
[[gnu::noipa]] void fill(Adapter& a, const std::vector<Key>& stored) {
    for (std::size_t i = 0; i < stored.size(); ++i) a.insert(stored[i], i);
}

[[gnu::noipa]] void fill_loop(const std::vector<Key>& stored) {
    for (std::size_t i = 0; i < stored.size(); ++i) {
        Key k = stored[i];
        keep(k);
        keep(i);
    }
}

template <class Adapter>
[[gnu::noipa]] std::size_t hit_pass(const Adapter& a, const std::vector<Key>& probes) {
    std::size_t found = 0;
    for (const Key k : probes) found += a.contains(k);
    return found;
}

template <class Adapter>
[[gnu::noipa]] std::size_t miss_pass(const Adapter& a, const std::vector<Key>& probes) {
    std::size_t found = 0;
    for (const Key k : probes) found += a.contains(k);
    return found;
}

[[gnu::noipa]] std::size_t lookup_loop(const std::vector<Key>& probes) {
    std::size_t found = 0;
    for (Key k : probes) {
        keep(k);
        found += k & 1;
    }
    return found;
}

template <class Adapter>
int run(std::size_t slots, double delta, unsigned rounds) {
    Adapter a(slots, delta);
    const std::vector<Key> stored = keys(0, entries_at_load(a.slots(), delta));
    if (stored.size() > a.room()) {
        std::fprintf(stderr, "%s cannot hold load %g in %zu slots without growing\n", Adapter::name, 1 - delta,
                     a.slots());
        return 3;
    }
    const std::size_t real_slots = a.slots();
    const std::vector<Key> hits = shuffled(stored, 7);
    const std::vector<Key> misses = keys(ABSENT, stored.size());

    QUORVEL_PHASE_BEGIN();
    fill_loop(stored);
    QUORVEL_PHASE_END("fill_loop");
    QUORVEL_PHASE_BEGIN();
    fill(a, stored);
    QUORVEL_PHASE_END("fill");

    std::size_t found = 0, wrong = 0, loop = 0;
    for (unsigned r = 0; r < rounds; ++r) {
        QUORVEL_PHASE_BEGIN();
        loop += lookup_loop(hits);
        QUORVEL_PHASE_END("hit_loop");
        QUORVEL_PHASE_BEGIN();
        found += hit_pass(a, hits);
        QUORVEL_PHASE_END("hit");
        QUORVEL_PHASE_BEGIN();
        loop += lookup_loop(misses);
        QUORVEL_PHASE_END("miss_loop");
        QUORVEL_PHASE_BEGIN();
        wrong += miss_pass(a, misses);
        QUORVEL_PHASE_END("miss");
    }
    const bool grew = a.slots() != real_slots;
    std::printf("%s: %zu slots, %zu entries (load %.4f), %u x %zu hits and misses; found %zu, false hits %zu%s "
                "(%zu)\n",
                Adapter::name, a.slots(), a.size(), static_cast<double>(a.size()) / static_cast<double>(a.slots()),
                rounds, stored.size(), found, wrong, grew ? ", GREW" : "", loop);
    return found == rounds * stored.size() && wrong == 0 && !grew ? 0 : 1;
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
    using namespace quorvel::bench;
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s elastic|funnel|absl|boost|robin|std SLOTS DELTA [LOOKUP_ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::string_view map = argv[1];
    const std::size_t slots = std::strtoull(argv[2], nullptr, 10);
    const double delta = std::strtod(argv[3], nullptr);
    const unsigned rounds = argc > 4 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)) : 1;
    if (map == "elastic") return run<ElasticAdapter>(slots, delta, rounds);
    if (map == "funnel") return run<FunnelAdapter>(slots, delta, rounds);
    if (map == "absl") return run<AbslAdapter>(slots, delta, rounds);
    if (map == "boost") return run<BoostAdapter>(slots, delta, rounds);
    if (map == "robin") return run<RobinAdapter>(slots, delta, rounds);
    if (map == "std") return run<StdAdapter>(slots, delta, rounds);
    std::fprintf(stderr, "unknown map %s\n", argv[1]);
    return 2;
}
