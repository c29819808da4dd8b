// Groups probed per insertion and per lookup, against the load 1 - delta.
//
// Built with QUORVEL_COUNT_PROBES, so the maps count the groups every
// placement and every lookup examines (common/probe_counter.hpp).  For each
// delta an empty map of `slots` slots with reserve fraction delta is filled
// to load 1 - delta, then every stored key and as many absent keys are
// looked up.  Printed as CSV, one row per map and delta:
//
//   insert_mean   groups per placement over the whole fill: the amortised cost
//   insert_peak   the largest mean over any window of WINDOWS-th of the fill's
//                 consecutive insertions: the expected cost of an insertion at
//                 the worst moment of the fill, i.e. the worst-case expected
//                 cost the schemes bound (for the funnel map that moment is
//                 the end; the elastic map is dearest part-way through a batch)
//   insert_max    the most groups any one placement examined
//   hit_*, miss_* groups per lookup of a stored / an absent key, mean and max
//
// Published bounds: elastic hashing O(1) amortised and O(log 1/delta)
// worst-case expected probes per insertion; funnel hashing O(log^2 1/delta)
// worst-case expected.  The funnel map keeps at most 1/8 in reserve, so it
// is measured from delta = 1/8 down.
//
// A placement here is the search for a free slot; an insertion of a new key
// also looks the key up first, which costs what a miss costs.
//
//   probe_counts [slots] [seeds]    (defaults 2^22 slots, 1 seed)
// With several seeds the means are over all runs, insert_peak and the maxima
// the largest seen.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "quorvel_adapters.hpp"
#include "common/probe_counter.hpp"

static_assert(quorvel::counting_probes, "probe_counts must be built with QUORVEL_COUNT_PROBES");

namespace quorvel::bench {
namespace {

// The fill is cut into this many windows of consecutive insertions for insert_peak.
constexpr std::size_t WINDOWS = 1024;

const std::vector<double> DELTAS = {0.5,   0.25,  0.125, 0.1,   0.05,   0.02,   0.01,
                                    0.005, 0.002, 0.001, 0.0005, 0.0002, 0.0001};

struct Totals {
    std::uint64_t count = 0;
    std::uint64_t groups = 0;
    std::uint64_t max = 0;

    void add_insertions(const ProbeCounts& before, const ProbeCounts& after) {
        count += after.insertions - before.insertions;
        groups += after.insertion_groups - before.insertion_groups;
    }
    void add_lookups(const ProbeCounts& c) {
        count += c.lookups;
        groups += c.lookup_groups;
        max = std::max(max, c.max_lookup_groups);
    }
    double mean() const { return count ? static_cast<double>(groups) / static_cast<double>(count) : 0.0; }
};

struct Row {
    Totals insert, hit, miss;
    double peak = 0;  // largest window mean over every run
    std::size_t entries = 0;
    std::size_t slots = 0;
    bool grew = false;
};

template <class Adapter>
void measure_once(double delta, std::size_t slots, std::uint64_t seed, Row& row) {
    Adapter a(slots, delta);
    const std::size_t entries = entries_at_load(a.slots(), delta);
    const std::uint64_t first = seed << 40;
    const std::vector<Key> stored = keys(first, entries);

    const std::size_t window = std::max<std::size_t>(entries / WINDOWS, 32);
    reset_probe_counts();
    ProbeCounts window_start;
    for (std::size_t i = 0; i < entries; ++i) {
        if (i % window == 0) window_start = probe_counts;
        a.insert(stored[i], i);
        if ((i + 1) % window == 0 || (i + 1 == entries && (i + 1) % window >= window / 2)) {
            Totals w;
            w.add_insertions(window_start, probe_counts);
            row.peak = std::max(row.peak, w.mean());
        }
    }
    row.insert.add_insertions(ProbeCounts{}, probe_counts);
    row.insert.max = std::max(row.insert.max, probe_counts.max_insertion_groups);
    row.grew = row.grew || a.slots() != slots || a.size() != entries;
    row.entries = entries;
    row.slots = a.slots();

    reset_probe_counts();
    for (const Key k : stored) a.contains(k);
    row.hit.add_lookups(probe_counts);
    reset_probe_counts();
    for (std::size_t i = 0; i < entries; ++i) a.contains(key(ABSENT + first + i));
    row.miss.add_lookups(probe_counts);
}

template <class Adapter>
void measure(double delta, std::size_t slots, unsigned seeds) {
    Row row;
    for (unsigned s = 0; s < seeds; ++s) measure_once<Adapter>(delta, slots, s + 1, row);
    std::printf("%s,%g,%zu,%zu,%.6f,%.4f,%.4f,%llu,%.4f,%llu,%.4f,%llu,%d\n", Adapter::name, delta, row.slots,
                row.entries, static_cast<double>(row.entries) / static_cast<double>(row.slots), row.insert.mean(),
                row.peak, static_cast<unsigned long long>(row.insert.max), row.hit.mean(),
                static_cast<unsigned long long>(row.hit.max), row.miss.mean(),
                static_cast<unsigned long long>(row.miss.max), row.grew ? 1 : 0);
    std::fflush(stdout);
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
    using namespace quorvel::bench;
    const std::size_t slots = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : std::size_t{1} << 22;
    const unsigned seeds = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    std::printf("map,delta,slots,entries,load,insert_mean,insert_peak,insert_max,hit_mean,hit_max,"
                "miss_mean,miss_max,grew\n");
    for (const double delta : DELTAS) {
        measure<ElasticAdapter>(delta, slots, seeds);
        if (delta <= FunnelAdapter::MAX_RESERVE) measure<FunnelAdapter>(delta, slots, seeds);
    }
    return 0;
}
