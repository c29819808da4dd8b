// Groups probed per insertion and per lookup, against the load 1 - delta.
//
// Built with QUORVEL_COUNT_PROBES, so the maps count every group they
// examine.  Prints CSV: map, delta, slots, mean and maximum groups per
// insertion, mean and maximum per successful and per failed lookup.
// Elastic hashing promises O(1) amortised and O(log 1/delta) worst-case
// expected probes per insertion; funnel hashing O(log^2 1/delta).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_maps.hpp"
#include "common/probe_counter.hpp"

namespace quorvel::bench {
namespace {

template <class Adapter>
void measure(double delta, std::uint32_t slots) {
    const auto stored = static_cast<std::size_t>(slots * (1.0 - delta));
    const auto keys = distinct_keys(2 * stored, 4);
    Adapter a(slots, delta);
    reset_probe_counts();
    for (std::size_t i = 0; i < stored; ++i) a.insert(keys[i], i);
    const ProbeCounts ins = probe_counts;
    reset_probe_counts();
    for (std::size_t i = 0; i < stored; ++i) a.contains(keys[i]);
    const ProbeCounts hit = probe_counts;
    reset_probe_counts();
    for (std::size_t i = stored; i < 2 * stored; ++i) a.contains(keys[i]);
    const ProbeCounts miss = probe_counts;
    const auto mean = [](std::uint64_t total, std::uint64_t count) { return count ? double(total) / count : 0.0; };
    std::printf("%s,%g,%u,%.4f,%llu,%.4f,%llu,%.4f,%llu\n", Adapter::name, delta, slots,
                mean(ins.insertion_groups, ins.insertions), (unsigned long long)ins.max_insertion_groups,
                mean(hit.lookup_groups, hit.lookups), (unsigned long long)hit.max_lookup_groups,
                mean(miss.lookup_groups, miss.lookups), (unsigned long long)miss.max_lookup_groups);
    std::fflush(stdout);
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
    using namespace quorvel::bench;
    const auto slots = static_cast<std::uint32_t>(argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1u << 20);
    std::printf("map,delta,slots,insert_mean,insert_max,hit_mean,hit_max,miss_mean,miss_max\n");
    for (double delta : {0.5, 0.25, 0.125, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001, 0.0005, 0.0002, 0.0001}) {
        measure<ElasticAdapter>(delta, slots);
        if (delta <= 0.125) measure<FunnelAdapter>(delta, slots);
    }
    return 0;
}
