// Replays the committed fuzz corpora (fuzz/corpus/<map>/) through the fuzz
// interpreter, so that every seed and every input that once found a fault
// keeps passing in the ordinary build, without clang or libFuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "elastic_adapter.hpp"
#include "funnel_adapter.hpp"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

fs::path corpus_dir(const char* map) { return fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus" / map; }

std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Adapter>
void replay_corpus(const char* map) {
    const fs::path dir = corpus_dir(map);
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int replayed = 0;
    for (const auto& file : fs::directory_iterator(dir)) {
        const std::vector<std::uint8_t> input = read_file(file.path());
        try {
            fuzz::run_program<Adapter>(input.data(), input.size());
        } catch (const std::exception& e) {
            ADD_FAILURE() << file.path().filename().string() << ": " << e.what();
        }
        ++replayed;
    }
    EXPECT_GT(replayed, 0) << "empty corpus " << dir;
}

TEST(FuzzCorpus, ElasticInputsReplayCleanly) { replay_corpus<fuzz::ElasticAdapter>("elastic"); }

TEST(FuzzCorpus, FunnelInputsReplayCleanly) { replay_corpus<fuzz::FunnelAdapter>("funnel"); }

// The interpreter must notice a map that misbehaves: this one forgets to
// hand back the previous value when a key's value is replaced.
class ForgetfulMap : public fuzz::ElasticAdapter::Map {
public:
    explicit ForgetfulMap(fuzz::ElasticAdapter::Map&& map) : fuzz::ElasticAdapter::Map(std::move(map)) {}
    std::optional<fuzz::FuzzValue> insert(fuzz::FuzzKey key, fuzz::FuzzValue value) {
        fuzz::ElasticAdapter::Map::insert(std::move(key), std::move(value));
        return std::nullopt;
    }
};

struct ForgetfulAdapter : fuzz::ElasticAdapter {
    using Map = ForgetfulMap;
    static Map make(Config& config, std::uint64_t seed) { return Map(fuzz::ElasticAdapter::make(config, seed)); }
};

TEST(FuzzCorpus, InterpreterCatchesALostPreviousValue) {
    // Header: capacity 16, default options, mixed hashes, 8 keys, seed 1;
    // then insert key 3 twice.
    const std::vector<std::uint8_t> input = {16, 0, 0, 0, 7, 1, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 3};
    EXPECT_NO_THROW(fuzz::run_program<fuzz::ElasticAdapter>(input.data(), input.size()));
    EXPECT_NO_THROW(fuzz::run_program<fuzz::FunnelAdapter>(input.data(), input.size()));
    EXPECT_THROW(fuzz::run_program<ForgetfulAdapter>(input.data(), input.size()), fuzz::OracleFailure);
}

}  // namespace
}  // namespace quorvel
