// Native benchmark: quorvel's two core maps against common C++ hash tables
// on 64-bit integer keys (quorvel_adapters.hpp and peer_adapters.hpp).
//
//   fill/<map>/<delta>/<slots>   per insertion: an empty table of about
//                                <slots> slots filled to load 1 - delta
//   hit/<map>/<delta>/<slots>    per lookup of a stored key at that load,
//                                keys in shuffled order
//   miss/<map>/<delta>/<slots>   per lookup of an absent key at that load
//   grow/<map>/<n>               per insertion: n keys into a default map
//                                that starts empty (growth included)
//
// A map appears at a load only when it reaches it without growing; the
// achieved load, the real slot count and the entry count are reported as
// counters (load, slots, entries), and a table that grew or a lookup that
// answered wrongly fails the benchmark instead of reporting a time.  The
// hit and miss benchmarks reuse the table their fill benchmark left behind
// (they are registered right after it), so each table is filled only by
// its fill benchmark.
//
// Sizes and repetitions come from the environment (run.py sets them):
//   QUORVEL_BENCH_SLOTS   table sizes, comma-separated (default 2^14,2^17,2^20,2^23)
//   QUORVEL_BENCH_GROW    growth sizes, comma-separated (default 1e4,1e5,1e6,1e7)
//   QUORVEL_BENCH_QUICK   when set: tiny minimum times, one repetition (smoke runs)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "peer_adapters.hpp"
#include "quorvel_adapters.hpp"

namespace quorvel::bench {
namespace {

const std::vector<double> DELTAS = {0.5, 0.25, 0.125, 0.1, 0.05, 0.02, 0.01, 0.001};
// Growth benchmarks draw their keys from here on, apart from the load benchmarks' keys.
constexpr std::uint64_t GROWTH_KEYS = std::uint64_t{1} << 61;
// Tables at least this large get one run of their fill and two of their growth
// benchmarks (each takes seconds); smaller ones three.
constexpr std::size_t LARGE = 4'000'000;

struct Plan {
    std::vector<std::size_t> slots = {1u << 14, 1u << 17, 1u << 20, 1u << 23};
    std::vector<std::size_t> growth = {10'000, 100'000, 1'000'000, 10'000'000};
    bool quick = false;

    double min_time(double seconds) const { return quick ? 0.002 : seconds; }
    int repetitions(int wanted) const { return quick ? 1 : wanted; }
};

std::vector<std::size_t> parse_sizes(const char* text) {
    std::vector<std::size_t> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) out.push_back(static_cast<std::size_t>(std::stod(item)));
    }
    return out;
}

Plan plan_from_env() {
    Plan plan;
    if (const char* s = std::getenv("QUORVEL_BENCH_SLOTS")) plan.slots = parse_sizes(s);
    if (const char* g = std::getenv("QUORVEL_BENCH_GROW")) plan.growth = parse_sizes(g);
    plan.quick = std::getenv("QUORVEL_BENCH_QUICK") != nullptr;
    return plan;
}

std::string delta_label(double delta) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", delta);
    return buf;
}

// The table the last fill benchmark built, for the hit and miss benchmarks
// registered after it.  One table at a time: the next fill releases it.
struct FilledTable {
    std::string name;
    std::shared_ptr<void> table;
};
FilledTable last_filled;

template <class Adapter>
std::shared_ptr<Adapter> fill_table(std::size_t slots, double delta, const std::vector<Key>& stored) {
    auto a = std::make_shared<Adapter>(slots, delta);
    for (std::size_t i = 0; i < stored.size(); ++i) a->insert(stored[i], i);
    return a;
}

void report_table(benchmark::State& state, std::size_t slots, std::size_t entries) {
    state.counters["slots"] = static_cast<double>(slots);
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["load"] = static_cast<double>(entries) / static_cast<double>(slots);
}

template <class Adapter>
void fill_benchmark(benchmark::State& state, std::string name, std::size_t slots, double delta) {
    const std::size_t real_slots = Adapter(slots, delta).slots();
    const std::vector<Key> stored = keys(0, entries_at_load(real_slots, delta));
    std::shared_ptr<Adapter> last;
    for (auto _ : state) {
        state.PauseTiming();
        last.reset();
        last_filled = {};
        state.ResumeTiming();
        last = fill_table<Adapter>(slots, delta, stored);
    }
    if (last->slots() != real_slots || last->size() != stored.size()) {
        state.SkipWithError("the table grew while it was filled: load not reached");
        return;
    }
    report_table(state, real_slots, stored.size());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * stored.size()));
    last_filled = {std::move(name), std::move(last)};
}

template <class Adapter>
void lookup_benchmark(benchmark::State& state, const std::string& table_name, std::size_t slots, double delta,
                      bool hit) {
    std::shared_ptr<Adapter> table;
    if (last_filled.name == table_name) {
        table = std::static_pointer_cast<Adapter>(last_filled.table);
    } else {  // run on its own (a filter left out the fill benchmark)
        last_filled = {};
        const std::size_t real_slots = Adapter(slots, delta).slots();
        table = fill_table<Adapter>(slots, delta, keys(0, entries_at_load(real_slots, delta)));
        last_filled = {table_name, table};
    }
    const std::size_t entries = table->size();
    const std::vector<Key> probes = hit ? shuffled(keys(0, entries), 7) : keys(ABSENT, entries);
    std::size_t i = 0;
    std::size_t found = 0;
    for (auto _ : state) {
        found += table->contains(probes[i]);
        if (++i == probes.size()) i = 0;
    }
    if (found != (hit ? static_cast<std::size_t>(state.iterations()) : 0)) {
        state.SkipWithError("a lookup gave the wrong answer");
        return;
    }
    report_table(state, table->slots(), entries);
    state.SetItemsProcessed(state.iterations());
}

template <class Adapter>
void growth_benchmark(benchmark::State& state, std::size_t n) {
    const std::vector<Key> stored = keys(GROWTH_KEYS, n);
    std::unique_ptr<Adapter> last;
    for (auto _ : state) {
        state.PauseTiming();
        last.reset();
        state.ResumeTiming();
        auto a = std::make_unique<Adapter>();
        for (std::size_t i = 0; i < n; ++i) a->insert(stored[i], i);
        last = std::move(a);
    }
    if (last->size() != n) {
        state.SkipWithError("entries lost");
        return;
    }
    report_table(state, last->slots(), n);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

// Registers fill, hit and miss at one load, or notes why the map cannot run there.
template <class Adapter>
void register_at_load(const Plan& plan, double delta, std::size_t slots, std::vector<std::string>& skipped) {
    const std::string suffix = std::string(Adapter::name) + "/" + delta_label(delta) + "/" + std::to_string(slots);
    {
        const Adapter probe(slots, delta);
        const std::size_t needed = entries_at_load(probe.slots(), delta);
        if (needed > probe.room()) {
            skipped.push_back(suffix + ": " + std::to_string(needed) + " entries needed in " +
                              std::to_string(probe.slots()) + " slots, takes " + std::to_string(probe.room()));
            return;
        }
    }
    const int fill_reps = plan.repetitions(slots >= LARGE ? 1 : 3);
    benchmark::RegisterBenchmark("fill/" + suffix, fill_benchmark<Adapter>, suffix, slots, delta)
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(plan.min_time(0.1))
        ->Repetitions(fill_reps)
        ->DisplayAggregatesOnly(fill_reps > 1);
    for (const bool hit : {true, false}) {
        benchmark::RegisterBenchmark((hit ? "hit/" : "miss/") + suffix, lookup_benchmark<Adapter>, suffix, slots,
                                     delta, hit)
            ->MinTime(plan.min_time(0.05))
            ->Repetitions(plan.repetitions(3))
            ->DisplayAggregatesOnly(!plan.quick);
    }
}

template <class Adapter>
void register_growth(const Plan& plan, std::size_t n) {
    auto* b = benchmark::RegisterBenchmark("grow/" + std::string(Adapter::name) + "/" + std::to_string(n),
                                           growth_benchmark<Adapter>, n)
                  ->Unit(benchmark::kMillisecond);
    if (n >= LARGE && !plan.quick) {
        b->Iterations(1)->Repetitions(2)->DisplayAggregatesOnly(true);
    } else {
        b->MinTime(plan.min_time(0.2))->Repetitions(plan.repetitions(3))->DisplayAggregatesOnly(!plan.quick);
    }
}

template <class... Adapters>
std::vector<std::string> register_all(const Plan& plan) {
    std::vector<std::string> skipped;
    for (const std::size_t slots : plan.slots) {
        for (const double delta : DELTAS) (register_at_load<Adapters>(plan, delta, slots, skipped), ...);
    }
    for (const std::size_t n : plan.growth) (register_growth<Adapters>(plan, n), ...);
    return skipped;
}

}  // namespace
}  // namespace quorvel::bench

int main(int argc, char** argv) {
    using namespace quorvel::bench;
    benchmark::Initialize(&argc, argv);
    const Plan plan = plan_from_env();
    const std::vector<std::string> skipped =
        register_all<ElasticAdapter, FunnelAdapter, AbslAdapter, BoostAdapter, RobinAdapter, StdAdapter>(plan);
    for (const std::string& s : skipped) std::fprintf(stderr, "not run (load beyond the map's maximum): %s\n", s.c_str());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
