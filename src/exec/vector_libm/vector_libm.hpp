// exp, log, pow, expf, logf, powf, sin and cos over arrays in vector code with the math library's
// own bits, where a check at load allows it: the library is a glibc whose build for this CPU (its
// FMA or its non-FMA variant; sin and cos: its FMA one) the replicas copy, and they agree with the
// function it resolved on every self-test input. Otherwise (or with QUORVALINE_VECTOR_LIBM=0) the
// entries return false and callers loop over the scalar function.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "exec/vector_libm/self_test.hpp"

namespace qv {

// Writes f(in[i]) to out[i] for i < n and returns true, or returns false having done nothing
// when the vector path is off for f. in may equal out.
bool vector_exp(const double* in, double* out, std::size_t n) noexcept;
bool vector_log(const double* in, double* out, std::size_t n) noexcept;
bool vector_expf(const float* in, float* out, std::size_t n) noexcept;
bool vector_logf(const float* in, float* out, std::size_t n) noexcept;
bool vector_sin(const double* in, double* out, std::size_t n) noexcept;
bool vector_cos(const double* in, double* out, std::size_t n) noexcept;
// pow(x[i], y[i]) likewise, x (y) one value for every element unless x_array (y_array).
bool vector_pow(const double* x, bool x_array, const double* y, bool y_array, double* out,
                std::size_t n) noexcept;
bool vector_powf(const float* x, bool x_array, const float* y, bool y_array, float* out,
                 std::size_t n) noexcept;

struct VectorFunctionState {
    const char* name;      // "exp", "log", "expf", "logf", "pow", "powf", "sin", "cos"
    bool vector;           // whether the entry runs the replica
    std::string isa;       // the instruction set of the replica tried ("avx512", "avx2"), or empty
    std::string variant;   // the library's build it copies ("fma", "nofma"), or empty
    std::string reason;    // why it does not, when it does not
    SelfTestResult check;  // the load-time check (zero inputs when it did not run)
};

struct VectorLibmReport {
    std::string setting;       // QUORVALINE_VECTOR_LIBM as read ("" when unset)
    std::string libm_version;  // glibc's version, or empty
    std::string build_id;      // GNU build-id of the loaded math library, or empty
    bool build_checked;        // whether the exhaustive check has passed on this build
    std::array<VectorFunctionState, 8> functions;  // in MathFunction's order
};

// What was decided when the engine loaded (decided on first use).
const VectorLibmReport& vector_libm_report();

}  // namespace qv
