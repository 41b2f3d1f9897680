// Tests that run once per loop set: every set is a parameter, and the ones this CPU cannot run
// are skipped (so that the test names are the same on every machine).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "exec/loops.hpp"

namespace qv {

inline const auto kEveryLoopSet =
    ::testing::Values(LoopSet::Baseline, LoopSet::Avx2, LoopSet::Avx512);

inline std::string loop_set_param_name(const ::testing::TestParamInfo<LoopSet>& info) {
    return std::string(loop_set_name(info.param));
}

inline bool cpu_runs(LoopSet set) {
    const auto sets = supported_loop_sets();
    return std::find(sets.begin(), sets.end(), set) != sets.end();
}

}  // namespace qv

#define QV_SKIP_UNLESS_CPU_RUNS(set) \
    if (!::qv::cpu_runs(set)) GTEST_SKIP() << "this CPU cannot run " << ::qv::loop_set_name(set)
