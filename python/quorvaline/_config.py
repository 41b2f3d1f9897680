"""show_config(): what the engine chose on this machine, and why.

The loop set is the widest instruction set the elementwise loops run here. `exp`, `log`, `pow`,
`sin` and `cos`, and the float32 forms `expf`, `logf` and `powf`, run vector copies of the math
library's own code where a check at load time allows it (the library's version and build, the
variant its resolver picks on this CPU, which the copy follows: its FMA build or its non-FMA
one, and agreement with the resolved function on a fixed set of hard and random inputs);
elsewhere they call the library once per element. Either way the bits are the library's.
QUORVALINE_VECTOR_LIBM=0 turns the vector copies off, =avx2 keeps them to AVX2, =fma and
=nofma take that build's copy whatever the library runs (the check at load then refuses a
copy of the other build).
"""

from __future__ import annotations

from typing import Any, Dict

from quorvaline import _native

_FUNCTIONS = ("exp", "log", "expf", "logf", "pow", "powf", "sin", "cos")
_VARIANTS = {"fma": "the library's FMA build", "nofma": "the library's non-FMA build"}


def _function_line(name: str, state: Dict[str, Any]) -> str:
    if state["path"] == "vector":
        how = (
            f"vector ({state['isa']}, {_VARIANTS[state['variant']]}, checked on "
            f"{state['checked_inputs']} inputs at load)"
        )
    else:
        how = f"scalar library calls ({state['reason']})"
    return f"  {name}: {how}"


def show_config(print_it: bool = True) -> Dict[str, Any]:
    """Print (unless `print_it` is false) and return the engine's choices: the loop set, the
    math library (version, GNU build-id, whether the project's exhaustive check has passed
    on that build) and, for each vectorised math function, its path: "vector" with its
    instruction set and the library's build it copies ("fma" or "nofma"), or "scalar" with
    the reason."""
    config: Dict[str, Any] = _native.config()
    if print_it:
        libm = config["libm"]
        checked = "exhaustively checked" if libm["build_checked"] else "not on the checked list"
        lines = [
            f"loop set: {config['loop_set']}",
            f"math library: glibc {libm['version']}, build-id {libm['build_id']} ({checked})"
            if libm["version"]
            else "math library: not glibc",
            "vectorised math functions:",
        ]
        vector = config["vector_libm"]
        lines += [_function_line(name, vector[name]) for name in _FUNCTIONS]
        print("\n".join(lines))
    return config
