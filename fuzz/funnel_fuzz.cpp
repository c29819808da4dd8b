// libFuzzer entry point for the funnel map: every input is a program for
// the interpreter (tests/support/interpreter.hpp); a disagreement with the reference, a
// broken invariant or a misused key or value aborts with its description.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "funnel_adapter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        quorvel::fuzz::run_program<quorvel::fuzz::FunnelAdapter>(data, size);
    } catch (const quorvel::fuzz::OracleFailure& failure) {
        std::fprintf(stderr, "funnel map fault: %s\n", failure.what());
        std::abort();
    }
    return 0;
}
