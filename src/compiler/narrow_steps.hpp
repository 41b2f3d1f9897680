// Narrow lanes: int32 steps whose readers need only their low 8 or 16 bits, over operands
// read from int8/uint8 or int16/uint16 storage, run on lanes of that width (four or two
// times as many per vector) instead of on widened copies.
//
// Exact: for + - * & | ^ ~, negation and square, the low w bits of the int32 result depend on
// the operands' low w bits alone (arithmetic modulo 2**32 reduced modulo 2**w is arithmetic
// modulo 2**w), so the w-bit step gives those bits. A step is narrowed only where every reader
// needs no more than them: a narrowing store of that width, another such step, `x & m` with
// m < 2**w, `x << c` with c >= 32 - w ... (readers that need all bits read a sign-extended
// copy). Scalars are read as their low w bits.
#pragma once

#include "compiler/program.hpp"

namespace qv {

// Rewrites a program without Selects; any other is left as it is.
void narrow_steps(RegisterProgram& program);

}  // namespace qv
