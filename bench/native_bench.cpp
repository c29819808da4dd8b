// Native benchmark: quorvel's two core maps against common C++ hash tables
// on 64-bit integer keys.
//
//   fill/<map>/<delta>/<slots>      insert until the load is 1 - delta
//   hit/<map>/<delta>/<slots>       lookups of stored keys at that load
//   miss/<map>/<delta>/<slots>      lookups of absent keys at that load
//   grow/<map>/<n>                  n insertions into an empty map (growth included)
//
// Peers appear only at loads they support (their maximum load factor).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench_maps.hpp"

namespace quorvel::bench {
namespace {

const std::vector<double> DELTAS = {0.5, 0.25, 0.125, 0.1, 0.05, 0.02, 0.01, 0.001};

std::string delta_label(double delta) {
    std::string s = std::to_string(delta);
    while (s.back() == '0') s.pop_back();
    return s;
}

template <class Adapter>
void fill(Adapter& a, const std::vector<Key>& keys, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) a.insert(keys[i], i);
}

template <class Adapter>
void register_at_load(double delta, std::uint32_t slots) {
    if (!Adapter::supports(delta)) return;
    const auto stored = static_cast<std::size_t>(slots * (1.0 - delta));
    const std::string suffix = std::string(Adapter::name) + "/" + delta_label(delta) + "/" + std::to_string(slots);

    benchmark::RegisterBenchmark(("fill/" + suffix).c_str(), [=](benchmark::State& state) {
        const auto keys = distinct_keys(stored, 1);
        for (auto _ : state) {
            Adapter a(slots, delta);
            fill(a, keys, stored);
            benchmark::DoNotOptimize(a);
        }
        state.SetItemsProcessed(state.iterations() * stored);
    })->Unit(benchmark::kMillisecond)->MinTime(0.5);

    for (const bool hit : {true, false}) {
        benchmark::RegisterBenchmark(((hit ? "hit/" : "miss/") + suffix).c_str(), [=](benchmark::State& state) {
            const auto keys = distinct_keys(2 * stored, 2);
            Adapter a(slots, delta);
            fill(a, keys, stored);
            const std::size_t offset = hit ? 0 : stored;
            std::size_t i = 0;
            std::size_t found = 0;
            for (auto _ : state) {
                found += a.contains(keys[offset + i]);
                if (++i == stored) i = 0;
            }
            benchmark::DoNotOptimize(found);
            state.SetItemsProcessed(state.iterations());
        })->MinTime(0.3);
    }
}

template <class Adapter>
void register_growth(std::size_t n) {
    benchmark::RegisterBenchmark(("grow/" + std::string(Adapter::name) + "/" + std::to_string(n)).c_str(),
                                 [=](benchmark::State& state) {
        const auto keys = distinct_keys(n, 3);
        for (auto _ : state) {
            Adapter a(0, 0.1);
            fill(a, keys, n);
            benchmark::DoNotOptimize(a);
        }
        state.SetItemsProcessed(state.iterations() * n);
    })->Unit(benchmark::kMillisecond)->MinTime(0.5);
}

template <class... Adapters>
void register_all(std::uint32_t slots, const std::vector<std::size_t>& growth_sizes) {
    for (double delta : DELTAS) (register_at_load<Adapters>(delta, slots), ...);
    for (std::size_t n : growth_sizes) (register_growth<Adapters>(n), ...);
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
    using namespace quorvel::bench;
    // QUORVEL_BENCH_SLOTS sets the table size of the load benchmarks;
    // QUORVEL_BENCH_GROW the largest growth benchmark.
    const char* slots_env = std::getenv("QUORVEL_BENCH_SLOTS");
    const char* grow_env = std::getenv("QUORVEL_BENCH_GROW");
    const auto slots = static_cast<std::uint32_t>(slots_env ? std::strtoul(slots_env, nullptr, 10) : 1u << 20);
    const std::size_t grow_max = grow_env ? std::strtoull(grow_env, nullptr, 10) : 10'000'000;
    std::vector<std::size_t> growth;
    for (std::size_t n = 10'000; n <= grow_max; n *= 10) growth.push_back(n);
    register_all<ElasticAdapter, FunnelAdapter, AbslAdapter, BoostAdapter, RobinAdapter, StdAdapter>(slots, growth);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
