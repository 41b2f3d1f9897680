// The fusion rules, in the order they are tried on each step (a rule sees what the rules before
// it made of the step). A rule is a kernel family (count, Fn<K>) with a static
// fuse(site, step) that rewrites the step when it reads a value it can take in; adding one is
// its header and its entry here.
#pragma once

#include "compiler/fusion/bound.hpp"
#include "compiler/fusion/clamp.hpp"
#include "compiler/fusion/compare_keep.hpp"
#include "compiler/fusion/mul_add.hpp"
#include "compiler/kernel_families.hpp"

namespace qv {

using FusionRules = KernelFamilies<MulAddFusion, BoundFusion, CompareKeepFusion, ClampFusion>;

}  // namespace qv
