// Fusion: each step, in order, is offered to the rules of the registry, which may take in the
// steps that make its operands for it alone, in the same lane context; those steps leave the
// program.
#pragma once

#include "compiler/program.hpp"

namespace qv {

void fuse_steps(RegisterProgram& program);

}  // namespace qv
