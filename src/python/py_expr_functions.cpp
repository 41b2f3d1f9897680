// The kernel object's expression functions: arg, args, the math functions, pow, atan2,
// min, max and where_.
#include "python/py_expr.hpp"

namespace qv::py {

// Placeholders until the expression functions land.
#define QV_PENDING(name)                                                                 \
    QV_FASTCALL_FN(name) {                                                               \
        (void)self, (void)args, (void)nargs, (void)kwnames;                              \
        PyErr_SetString(PyExc_NotImplementedError, #name);                               \
        return nullptr;                                                                  \
    }
QV_PENDING(kernel_arg)
QV_PENDING(kernel_args)
QV_PENDING(kernel_sqrt)
QV_PENDING(kernel_abs)
QV_PENDING(kernel_log)
QV_PENDING(kernel_exp)
QV_PENDING(kernel_log2)
QV_PENDING(kernel_log10)
QV_PENDING(kernel_floor)
QV_PENDING(kernel_ceil)
QV_PENDING(kernel_round)
QV_PENDING(kernel_sin)
QV_PENDING(kernel_cos)
QV_PENDING(kernel_tan)
QV_PENDING(kernel_pow)
QV_PENDING(kernel_atan2)
QV_PENDING(kernel_min)
QV_PENDING(kernel_max)
QV_PENDING(kernel_where)
#undef QV_PENDING

}  // namespace qv::py
