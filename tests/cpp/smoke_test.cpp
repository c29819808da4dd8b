#include <gtest/gtest.h>
#include "common/control.hpp"
#include "common/errors.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"
#include "common/probe.hpp"
#include "common/probe_counter.hpp"
#include "common/seed.hpp"
TEST(Smoke, Compiles) { quorvel::RawTable<quorvel::Entry<int, int>> t(17); EXPECT_EQ(t.groups(), 2u); EXPECT_NE(quorvel::GlobalSeed::get(), 0u); }
