// Churn at the fill limit: a steady workload on a map sized once and kept full.
//
// For each of our maps and each reserve fraction delta, a map is built with
// capacity SLOTS and reserve fraction delta and filled with exactly
// max_insertions() keys - as full as it gets without growing.  Then it is
// churned: STEPS_PER_SLOT * SLOTS steps, each removing a stored key drawn at
// random and inserting a key never seen before, so len stays constant.  A
// steady workload must keep a steady cost and a steady size, so at
// checkpoints spread over the run (closer together early on, where a
// placement policy shows its first effects) the program records
//
//   hit_ns, miss_ns     ns per lookup of a random sample of the stored keys
//                       and of as many absent keys
//   step_ns             ns per churn step (one removal and one insertion,
//                       every rebuild they cause included) since the
//                       previous checkpoint
//   capacity, len       the map's; capacity must not change
//
// and, in the build with QUORVEL_COUNT_PROBES (churn_probes), groups
// examined per lookup (hit_groups, miss_groups) and per churn step
// (step_lookup_groups: the removal's and the insertion's lookups;
// step_place_groups and step_placements: the placements, those of rebuilds
// included).  Group counts do not depend on the machine's load; on a shared
// machine they are the figures to compare across runs, times only within one.
//
// A run stops early when it has used BUDGET_SECONDS of wall time, so a map
// whose steps have become very slow cannot stall the benchmark; the run then
// says where it stopped.  The first step after which the capacity differs
// is reported as well, and loudly on stderr.
//
//   churn_bench SLOTS STEPS_PER_SLOT BUDGET_SECONDS LOOKUP_SECONDS [DELTA...]
//       (defaults: 2^17 slots, 10 steps per slot, 20 s, 0.02 s, deltas 0.1 0.01 0.001)
//
// Output: one JSON object per run and line, as soon as the run ends.
// Times are the thread's CPU time (time spent descheduled is left out).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/probe_counter.hpp"
#include "quorvel_adapters.hpp"

namespace quorvel::bench {
namespace {

// Checkpoints as fractions of the run's steps (0 is taken right after the
// fill).  The first stretch is short, so that the step cost "right after
// the fill" is that of the first steps, before churn has changed the map.
constexpr double CHECKPOINTS[] = {0.0001, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2,
                                  0.3,    0.4,   0.5,   0.6,   0.7,  0.8,  0.9,  1.0};
// Keys inserted by churn steps, apart from the filled keys (from 0) and the absent ones (ABSENT).
constexpr std::uint64_t FRESH = std::uint64_t{1} << 60;
// Lookups timed at a checkpoint: a sample of SAMPLE stored keys and as many
// absent ones, each looked up for LOOKUP_SECONDS (the fourth argument) of CPU time in chunks of
// CHUNK (so a degraded map's slow misses cost no more time than fast ones).
constexpr std::size_t SAMPLE = 16384;
constexpr std::size_t CHUNK = 256;
double lookup_seconds = 0.02;
constexpr std::uint64_t SEED = 20260101;

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// splitmix64: a fixed, printed seed makes every run replayable.
struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
    }
};

// A JSON number, or null when there is no figure.
std::string num(double x, bool present = true) {
    if (!present) return "null";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", x);
    return buf;
}

// The probe counters so far (all zero in the build without them).
ProbeCounts probe_counts_now() {
#ifdef QUORVEL_COUNT_PROBES
    return probe_counts;
#else
    return ProbeCounts{};
#endif
}

struct Lookups {
    double ns = 0;
    double groups = 0;
};

// Times lookups of `probes` in chunks of CHUNK, cycling through them until
// lookup_seconds of CPU time are spent: ns per lookup is the median over the
// chunks (a descheduled moment spoils one chunk, not the figure), groups the
// mean over every lookup.
template <class Adapter>
Lookups time_lookups(const Adapter& a, const std::vector<Key>& probes, bool hit) {
    const ProbeCounts before = probe_counts_now();
    std::vector<double> chunk_ns;
    std::size_t done = 0, found = 0;
    double spent = 0;
    while (spent < lookup_seconds) {
        const std::size_t first = (chunk_ns.size() * CHUNK) % probes.size();
        const std::size_t end = std::min(first + CHUNK, probes.size());
        const double start = cpu_seconds();
        for (std::size_t i = first; i < end; ++i) found += a.contains(probes[i]);
        const double t = cpu_seconds() - start;
        spent += t;
        chunk_ns.push_back(1e9 * t / static_cast<double>(end - first));
        done += end - first;
    }
    if (found != (hit ? done : 0)) {
        std::fprintf(stderr, "churn: %s gave a wrong lookup answer\n", Adapter::name);
        std::exit(1);
    }
    const ProbeCounts after = probe_counts_now();
    std::sort(chunk_ns.begin(), chunk_ns.end());
    return {chunk_ns[chunk_ns.size() / 2],
            static_cast<double>(after.lookup_groups - before.lookup_groups) / static_cast<double>(done)};
}

template <class Adapter>
void run(std::size_t slots, double steps_per_slot, double budget, double delta) {
    const double started = wall_seconds();
    Adapter a(slots, delta);
    const std::size_t capacity = a.slots();
    const std::size_t limit = a.room();
    std::vector<Key> live = keys(0, limit);
    const ProbeCounts before_fill = probe_counts_now();
    const double fill_start = cpu_seconds();
    for (std::size_t i = 0; i < limit; ++i) a.insert(live[i], i);
    const double fill_ns = 1e9 * (cpu_seconds() - fill_start) / static_cast<double>(limit);
    const double fill_groups = static_cast<double>(probe_counts_now().insertion_groups - before_fill.insertion_groups) /
                               static_cast<double>(limit);
    if (a.size() != limit || a.slots() != capacity) {
        std::fprintf(stderr, "churn: %s grew while it was filled to max_insertions\n", Adapter::name);
        std::exit(1);
    }

    Rng rng{SEED};
    const auto total = static_cast<std::uint64_t>(steps_per_slot * static_cast<double>(capacity));
    std::uint64_t step = 0, fresh = 0, absent = 0;
    long long grew_at = -1;
    std::size_t grown_to = capacity;
    bool stopped = false;
    std::string points;

    auto checkpoint = [&](double step_ns, const ProbeCounts& seg, std::uint64_t seg_steps) {
        std::vector<Key> hits(std::min(SAMPLE, live.size()));
        for (Key& k : hits) k = live[rng.below(live.size())];
        const std::vector<Key> misses = keys(ABSENT + absent, hits.size());
        absent += hits.size();
        const Lookups hit = time_lookups(a, hits, true);
        const Lookups miss = time_lookups(a, misses, false);
        const bool seg_present = seg_steps != 0;
        const double per = seg_present ? 1.0 / static_cast<double>(seg_steps) : 0;
        if (!points.empty()) points += ",";
        points += "{\"step\":" + std::to_string(step) + ",\"capacity\":" + std::to_string(a.slots()) +
                  ",\"len\":" + std::to_string(a.size()) + ",\"hit_ns\":" + num(hit.ns) +
                  ",\"miss_ns\":" + num(miss.ns) + ",\"step_ns\":" + num(step_ns, seg_present) +
                  ",\"hit_groups\":" + num(hit.groups, counting_probes) +
                  ",\"miss_groups\":" + num(miss.groups, counting_probes) +
                  ",\"step_lookup_groups\":" + num(static_cast<double>(seg.lookup_groups) * per,
                                                   counting_probes && seg_present) +
                  ",\"step_place_groups\":" + num(static_cast<double>(seg.insertion_groups) * per,
                                                  counting_probes && seg_present) +
                  ",\"step_placements\":" + num(static_cast<double>(seg.insertions) * per,
                                                counting_probes && seg_present) +
                  "}";
    };

    checkpoint(0, ProbeCounts{}, 0);
    for (const double fraction : CHECKPOINTS) {
        const auto target = static_cast<std::uint64_t>(fraction * static_cast<double>(total));
        if (target <= step) continue;
        const std::uint64_t first = step;
        const ProbeCounts before = probe_counts_now();
        const double start = cpu_seconds();
        for (; step < target; ++step) {
            const std::size_t i = rng.below(live.size());
            if (!a.remove(live[i])) {
                std::fprintf(stderr, "churn: %s lost a stored key\n", Adapter::name);
                std::exit(1);
            }
            const Key k = key(FRESH + fresh++);
            a.insert(k, step);
            live[i] = k;
            if (grew_at < 0 && a.slots() != capacity) {
                grew_at = static_cast<long long>(step + 1);
                grown_to = a.slots();
                std::fprintf(stderr,
                             "churn: !! %s at delta %g GREW after %llu churn steps: capacity %zu -> %zu "
                             "with len constant at %zu\n",
                             Adapter::name, delta, static_cast<unsigned long long>(step + 1), capacity, grown_to,
                             a.size());
            }
            if ((step & 1023) == 1023 && wall_seconds() - started > budget) {
                stopped = true;
                ++step;
                break;
            }
        }
        const double spent = cpu_seconds() - start;
        const ProbeCounts after = probe_counts_now();
        ProbeCounts seg;
        seg.lookup_groups = after.lookup_groups - before.lookup_groups;
        seg.insertion_groups = after.insertion_groups - before.insertion_groups;
        seg.insertions = after.insertions - before.insertions;
        checkpoint(1e9 * spent / static_cast<double>(step - first), seg, step - first);
        if (stopped) break;
    }
    if (a.size() != limit) {
        std::fprintf(stderr, "churn: %s changed its len under churn\n", Adapter::name);
        std::exit(1);
    }
    std::printf("{\"map\":\"%s\",\"delta\":%g,\"slots\":%zu,\"max_insertions\":%zu,\"steps\":%llu,"
                "\"planned_steps\":%llu,\"stopped\":%s,\"budget_s\":%g,\"wall_s\":%.2f,\"first_growth_step\":%lld,"
                "\"grown_capacity\":%zu,\"counting\":%s,\"seed\":%llu,\"fill_ns\":%s,\"fill_place_groups\":%s,"
                "\"checkpoints\":[%s]}\n",
                Adapter::name, delta, capacity, limit, static_cast<unsigned long long>(step),
                static_cast<unsigned long long>(total), stopped ? "true" : "false", budget,
                wall_seconds() - started, grew_at, grown_to, counting_probes ? "true" : "false",
                static_cast<unsigned long long>(SEED), num(fill_ns).c_str(),
                num(fill_groups, counting_probes).c_str(), points.c_str());
    std::fflush(stdout);
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
    using namespace quorvel::bench;
    const std::size_t slots = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : std::size_t{1} << 17;
    const double steps_per_slot = argc > 2 ? std::strtod(argv[2], nullptr) : 10.0;
    const double budget = argc > 3 ? std::strtod(argv[3], nullptr) : 20.0;
    if (argc > 4) lookup_seconds = std::strtod(argv[4], nullptr);
    std::vector<double> deltas;
    for (int i = 5; i < argc; ++i) deltas.push_back(std::strtod(argv[i], nullptr));
    if (deltas.empty()) deltas = {0.1, 0.01, 0.001};
    for (const double delta : deltas) {
        run<ElasticAdapter>(slots, steps_per_slot, budget, delta);
        run<FunnelAdapter>(slots, steps_per_slot, budget, delta);
    }
    return 0;
}
