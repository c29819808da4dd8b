// A plain driver for profilers (perf record, valgrind --tool=callgrind).
//
//   profile_maps elastic|funnel SLOTS DELTA [LOOKUP_ROUNDS]
//
// Fills one of our maps of SLOTS slots to load 1 - DELTA, then looks up
// every stored key and as many absent keys, LOOKUP_ROUNDS times (default 1).
// Each phase is its own opaque (noipa: not inlined, not merged) function (fill, hit_pass, miss_pass), so
// a profile attributes every instruction to one phase and, divided by the
// operation count printed here, gives instructions per operation.  Built
// with -g in Release, and statically, so that a profiler outside the build
// environment can run it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quorvel_adapters.hpp"

namespace quorvel::bench {
namespace {

template <class Adapter>
[[gnu::noipa]] void fill(Adapter& a, const std::vector<Key>& stored) {
    for (std::size_t i = 0; i < stored.size(); ++i) a.insert(stored[i], i);
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

template <class Adapter>
int run(std::size_t slots, double delta, unsigned rounds) {
    Adapter a(slots, delta);
    const std::vector<Key> stored = keys(0, entries_at_load(a.slots(), delta));
    fill(a, stored);
    const std::vector<Key> hits = shuffled(stored, 7);
    const std::vector<Key> misses = keys(ABSENT, stored.size());
    std::size_t found = 0, wrong = 0;
    for (unsigned r = 0; r < rounds; ++r) {
        found += hit_pass(a, hits);
        wrong += miss_pass(a, misses);
    }
    std::printf("%s: %zu slots, %zu entries (load %.4f), %u x %zu hits and misses; found %zu, false hits %zu\n",
                Adapter::name, a.slots(), a.size(), static_cast<double>(a.size()) / static_cast<double>(a.slots()),
                rounds, stored.size(), found, wrong);
    return found == rounds * stored.size() && wrong == 0 ? 0 : 1;
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
    using namespace quorvel::bench;
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s elastic|funnel SLOTS DELTA [LOOKUP_ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::size_t slots = std::strtoull(argv[2], nullptr, 10);
    const double delta = std::strtod(argv[3], nullptr);
    const unsigned rounds = argc > 4 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)) : 1;
    if (std::strcmp(argv[1], "elastic") == 0) return run<ElasticAdapter>(slots, delta, rounds);
    if (std::strcmp(argv[1], "funnel") == 0) return run<FunnelAdapter>(slots, delta, rounds);
    std::fprintf(stderr, "unknown map %s\n", argv[1]);
    return 2;
}
