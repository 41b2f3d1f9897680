// Scratch blocks: the registers of a program share blocks by last reader, the output register
// writes the result directly.
#pragma once

#include "compiler/program.hpp"

namespace qv {

StepProgram assign_blocks(RegisterProgram program);

}  // namespace qv
