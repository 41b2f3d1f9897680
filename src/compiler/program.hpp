// The compiler's two forms of a kernel body for one pattern of scalar and buffer arguments.
// The register program: steps over values (registers written once, arguments' data, entries of
// the scalar table), each in the lane context of the Select branch it runs in; the passes
// rewrite it. The step program: the same steps over scratch blocks, which the executor runs.
// Every step computes one kernel (compiler/kernels.hpp) in one value type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "compiler/refusal.hpp"
#include "ir/value_type.hpp"

namespace qv {

// Dense index of a kernel in the catalog of compiler/kernels.hpp.
using KernelId = std::uint16_t;

// Compute runs a kernel; Begin splits the active lanes by a condition, Else turns to the lanes
// that chose if_false, End returns to the lanes before the split.
enum class StepKind : std::uint8_t { Compute, Begin, Else, End };

inline constexpr std::uint32_t kNone = UINT32_MAX - 1;

// ---- The register program ----

struct Val {
    enum class Kind : std::uint8_t { Reg, Arg, Scalar } kind;
    std::uint32_t index;
};

inline bool is_vector(Val v) { return v.kind != Val::Kind::Scalar; }

// Operands past a step's arity read scalar entry 0.
inline constexpr Val kUnused{Val::Kind::Scalar, 0};

// `type` is the type the step computes in: of its operands and result, but for a cast (its
// operand has the type the cast names) and a Select's condition (Begin: the condition's type).
struct RegStep {
    StepKind kind;
    ValueType type;
    KernelId kernel;    // Compute
    std::uint32_t dst;  // Compute: register written; Begin, Else, End: the Select's result
    std::uint32_t ctx;  // the lane context it runs in
    int arity;          // operands read: Compute by its kernel, Begin 1 (the condition)
    Val ops[3];
};

// A step over scalars alone, run once per call into the scalar table. Scalars are float64, as
// Python computes its numbers; a step of another type rounds them where it reads them. A
// complex scalar is two entries, its parts, which a step over blocks makes complex. An integer
// step over blocks reads its scalar operands from entries of their own, which hold int64 bits
// (std::bit_cast), so that every int64 is exact; the float64 entries stay as they are.
struct ScalarStep {
    KernelId kernel;
    ValueType type;
    std::uint32_t dst, a, b, c;  // scalar table entries
};

// The scalar table before binding: constants, and the entries that scalar arguments and
// scalar steps fill at each call.
struct ScalarTable {
    std::vector<double> values;
    std::vector<std::uint8_t> is_constant;

    std::uint32_t add(double value, bool constant) {
        values.push_back(value);
        is_constant.push_back(constant ? 1 : 0);
        return static_cast<std::uint32_t>(values.size() - 1);
    }
    bool constant(std::uint32_t entry) const { return is_constant[entry] != 0; }
};

// What every form of the program shares: the argument pattern and the scalar table.
struct ProgramFrame {
    std::vector<ArgPattern> pattern;         // per argument
    std::vector<std::uint32_t> scalar_args;  // per argument: its scalar entry, or UINT32_MAX
    // Per complex scalar argument: the entry of its imaginary part, or UINT32_MAX.
    std::vector<std::uint32_t> scalar_imag_args;
    // Per argument: the entry of its exact int64 bits, read by integer steps, or UINT32_MAX.
    std::vector<std::uint32_t> scalar_int_args;
    // Per argument: the narrowest integer type a step over blocks reads it in as a scalar (whose
    // range a Python int given for it must be in), or F64 for none.
    std::vector<ValueType> int_reads;
    // The entries (int64 bits) an integer power of scalars alone takes as its exponent (a
    // negative one is refused at the call).
    std::vector<std::uint32_t> int_exponents;
    // The float64 entries (parts computed in float64) an integer step reads, each with the
    // narrowest integer type that reads it: out of its range, or past 2**53 where the digits
    // are not known, the call is refused, as NumPy refuses a Python int.
    std::vector<std::pair<std::uint32_t, ValueType>> float_int_reads;
    ScalarTable scalars;
    std::vector<ScalarStep> scalar_steps;
    std::size_t nesting = 0;  // deepest Select nesting, for the lane lists
    Refusal refusal;
};

struct RegisterProgram {
    ProgramFrame frame;
    std::vector<RegStep> steps;
    std::uint32_t registers = 0;
    std::uint32_t output = kNone;
    ValueType output_type = ValueType::F64;
    std::vector<ValueType> reg_type;          // per register: the type of its values
    std::vector<std::uint8_t> select_result;  // per register: written by a Select's branches

    bool is_select_result(std::uint32_t r) const {
        return r < select_result.size() && select_result[r] != 0;
    }
};

// ---- The step program ----

struct StepOperand {
    enum class Source : std::uint8_t { Slot, Array, Scalar } source;
    std::uint32_t index;  // Slot: scratch block or kOutputSlot; Array: argument; Scalar: entry
};
inline constexpr std::uint32_t kOutputSlot = UINT32_MAX;

struct Step {
    StepKind kind;
    ValueType type;
    KernelId kernel;      // Compute
    std::uint32_t dst;    // Compute: scratch block or kOutputSlot
    StepOperand a, b, c;  // Compute: operands by arity; Begin: a is the condition
};

struct StepProgram {
    ProgramFrame frame;
    std::vector<Step> steps;
    std::size_t slots = 0;      // scratch blocks
    std::size_t slot_size = 8;  // bytes per element of a scratch block: its widest type
    ValueType output_type = ValueType::F64;
};

}  // namespace qv
