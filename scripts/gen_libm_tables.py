#!/usr/bin/env python3
"""Writes src/exec/vector_libm/glibc_tables.inc: the constants and tables of glibc's exp, log,
pow, expf, logf and powf (the 2018 algorithms, glibc 2.28 and later), read from the bytes of the
math library this machine loads, so that the vector replicas use exactly the library's numbers.

The data are found by their leading constants and checked against the values they stand for
(2^(i/128), 1/c, log c) before anything is written. Run it again only to move to another
library build, then rerun scripts/check_vector_libm.py there."""

import math
import pathlib
import struct
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
OUT = ROOT / "src/exec/vector_libm/glibc_tables.inc"
H = float.fromhex
N = 128  # table entries: 1 << EXP_TABLE_BITS and 1 << LOG_TABLE_BITS
N_EXPF = 32  # 1 << EXP2F_TABLE_BITS
N_LOGF = 16  # 1 << LOGF_TABLE_BITS


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def words(data, offset, count):
    return list(struct.unpack_from(f"<{count}Q", data, offset))


def find_once(data, leading, what):
    key = struct.pack(f"<{len(leading)}d", *leading)
    at = data.find(key)
    if at < 0 or data.find(key, at + 1) >= 0:
        sys.exit(f"gen_libm_tables: {what} is not found exactly once in the library")
    return at


def libm_path():
    import ctypes.util

    name = ctypes.util.find_library("m") or "libm.so.6"
    out = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if line.strip().startswith(name) and "x86-64" in line:
            return pathlib.Path(line.split("=>")[1].strip()).resolve()
    return pathlib.Path("/lib/x86_64-linux-gnu", name).resolve()


def build_id(path):
    out = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if "Build ID:" in line:
            return line.split(":", 1)[1].strip()
    return "unknown"


def exp_data(data):
    # struct exp_data: invln2N, negln2hiN, negln2loN, poly[4], shift, exp2_shift,
    # exp2_poly[5], tab[2 * N] of {tail bits, sbits - (i << 45)}.
    at = find_once(data, [H("0x1.71547652b82fep0") * N, H("-0x1.62e42fefa0000p-8")], "exp's data")
    head = words(data, at, 14)
    tab = words(data, at + 14 * 8, 2 * N)
    if f64(head[7]) != H("0x1.8p52"):
        sys.exit("gen_libm_tables: exp's shift is not where glibc 2.28+ keeps it")
    for i in range(N):
        scale = f64(tab[2 * i + 1] + (i << 45)) * (1 + f64(tab[2 * i]))
        if abs(scale / 2 ** (i / N) - 1) > 1e-15:
            sys.exit(f"gen_libm_tables: exp's table entry {i} is not 2^({i}/{N})")
    return head, tab


def log_data(data):
    # struct log_data: ln2hi, ln2lo, poly[5] (A), poly1[11] (B), tab[N] of {invc, logc},
    # tab2[N] of {chi, clo} (c = chi + clo, read by the non-FMA build only).
    # pow's data starts with the same ln2hi and ln2lo; the first A tells them apart.
    leading = [H("0x1.62e42fefa3800p-1"), H("0x1.ef35793c76730p-45"), H("-0x1.0000000000001p-1")]
    at = find_once(data, leading, "log's data")
    head = words(data, at, 18)
    tab = words(data, at + 18 * 8, 2 * N)
    tab2 = words(data, at + 18 * 8 + 2 * N * 8, 2 * N)
    if f64(head[7]) != -0.5:
        sys.exit("gen_libm_tables: log's near-1 polynomial does not start where expected")
    for i in range(N):
        invc, logc = f64(tab[2 * i]), f64(tab[2 * i + 1])
        if abs(logc + math.log(invc)) > 1e-12:
            sys.exit(f"gen_libm_tables: log's table entry {i} is not (1/c, log c)")
        c = f64(tab2[2 * i]) + f64(tab2[2 * i + 1])
        if abs(c * invc - 1) > 2.0**-40 or abs(f64(tab2[2 * i + 1])) > 2.0**-50:
            sys.exit(f"gen_libm_tables: log's second table entry {i} is not (c hi, c lo)")
    return head, tab, tab2


def pow_log_data(data):
    # struct pow_log_data: ln2hi, ln2lo, poly[7] (A, the first -0.5), tab[N] of
    # {invc, pad, logc, logctail}; log's data starts with the same ln2hi and ln2lo.
    leading = [H("0x1.62e42fefa3800p-1"), H("0x1.ef35793c76730p-45"), -0.5]
    at = find_once(data, leading, "pow's log data")
    head = words(data, at, 9)
    tab = words(data, at + 9 * 8, 4 * N)
    rows = []
    for i in range(N):
        invc, logc, logctail = (f64(tab[4 * i + k]) for k in (0, 2, 3))
        if abs(logc + logctail + math.log(invc)) > 1e-12 or abs(logctail) > 2.0**-40:
            sys.exit(f"gen_libm_tables: pow's table entry {i} is not (1/c, log c, its tail)")
        rows += [tab[4 * i], tab[4 * i + 2], tab[4 * i + 3]]
    return head, rows


def expf_data(data):
    # struct exp2f_data: tab[N_EXPF] of sbits - (i << 47), shift_scaled, poly[3],
    # invln2_scaled, poly_scaled[3], shift; found by the words after the table.
    leading = [H("0x1.8p47"), H("0x1.c6af84b912394p-5"), H("0x1.ebfce50fac4f3p-3")]
    at = find_once(data, leading, "expf's data") - N_EXPF * 8
    tab = words(data, at, N_EXPF)
    head = words(data, at + N_EXPF * 8, 9)
    if f64(head[8]) != H("0x1.8p52") or f64(head[4]) != H("0x1.71547652b82fep0") * N_EXPF:
        sys.exit("gen_libm_tables: expf's constants are not where glibc 2.28+ keeps them")
    for i in range(N_EXPF):
        if abs(f64(tab[i] + (i << 47)) / 2 ** (i / N_EXPF) - 1) > 1e-15:
            sys.exit(f"gen_libm_tables: expf's table entry {i} is not 2^({i}/{N_EXPF})")
    # exp2f's own shift and polynomial (unscaled) follow: powf's exp2_inline uses them.
    return [head[4], head[5], head[6], head[7], head[8], head[0], head[1], head[2], head[3]], tab


def powf_data(data):
    # struct powf_log2_data: tab[N_LOGF] of {invc, logc} (log2 c), poly[5]; found by its
    # polynomial's first words, which no other function's data share.
    leading = [H("0x1.27616c9496e0bp-2"), H("-0x1.71969a075c67ap-2")]
    at = find_once(data, leading, "powf's data")
    head = words(data, at, 5)
    tab = words(data, at - 2 * N_LOGF * 8, 2 * N_LOGF)
    for i in range(N_LOGF):
        invc, logc = f64(tab[2 * i]), f64(tab[2 * i + 1])
        if abs(logc + math.log2(invc)) > 1e-12:
            sys.exit(f"gen_libm_tables: powf's table entry {i} is not (1/c, log2 c)")
    return head, tab


def logf_data(data):
    # struct logf_data: tab[N_LOGF] of {invc, logc}, ln2, poly[3]; found by the words after
    # the table (ln2 and the first coefficient, which log's and pow's data do not share).
    leading = [H("0x1.62e42fefa39efp-1"), H("-0x1.00ea348b88334p-2")]
    at = find_once(data, leading, "logf's data") - 2 * N_LOGF * 8
    tab = words(data, at, 2 * N_LOGF)
    head = words(data, at + 2 * N_LOGF * 8, 4)
    for i in range(N_LOGF):
        invc, logc = f64(tab[2 * i]), f64(tab[2 * i + 1])
        if abs(logc + math.log(invc)) > 1e-12:
            sys.exit(f"gen_libm_tables: logf's table entry {i} is not (1/c, log c)")
    return head, tab


# sin and cos (IBM's s_sin.c): its constants are immediates scattered over the code's data, so
# they are written here from the FMA build's machine code and each checked to be in the library.
SINCOS_CONSTANTS = {
    "kSn3": "-0x1.5555555555515p-3", "kSn5": "0x1.11110e829872fp-7",
    "kCs2": "0x1.0000000000000p-1", "kCs4": "-0x1.5555555555535p-5",
    "kCs6": "0x1.6c16bedd9e239p-10", "kS1": "-0x1.5555555555555p-3",
    "kS2": "0x1.1111111110ecep-7", "kS3": "-0x1.a01a019db08b8p-13",
    "kS4": "0x1.71de27b9a7ed9p-19", "kS5": "-0x1.addffc2fcdf59p-26",
    "kBig": "0x1.8000000000000p+45", "kHp0": "0x1.921fb54442d18p+0",
    "kHp1": "0x1.1a62633145c07p-54", "kHpInv": "0x1.45f306dc9c883p-1",
    "kToInt": "0x1.8000000000000p+52", "kMp1": "0x1.921fb58000000p+0",
    "kMp2": "-0x1.dde973c000000p-27", "kPp3": "-0x1.cb3b398000000p-55",
    "kPp4": "-0x1.d747f23e32ed7p-83",
}
N_SINCOS = 110  # |x| in steps of 1/128 up to 0.855


def sincos_data(data):
    # __sincostab: {sin, its tail, cos, its tail} of i/128 for i < 110.
    at = find_once(data, [0.0, 0.0, 1.0, 0.0, H("0x1.fffeaaaaeeeefp-8")], "sin's table")
    tab = words(data, at, 4 * N_SINCOS)
    for i in range(N_SINCOS):
        sn, ssn, cs, ccs = (f64(tab[4 * i + k]) for k in range(4))
        if abs(sn + ssn - math.sin(i / 128)) > 1e-16 or abs(cs + ccs - math.cos(i / 128)) > 1e-16:
            sys.exit(f"gen_libm_tables: sin's table entry {i} is not (sin, cos) of {i}/128")
        if abs(ssn) > abs(sn) * 2.0**-52 or abs(ccs) > cs * 2.0**-52:
            sys.exit(f"gen_libm_tables: sin's table entry {i} has tails that are not tails")
    head = []
    for name, value in SINCOS_CONSTANTS.items():
        word = struct.unpack("<Q", struct.pack("<d", H(value)))[0]
        if data.find(struct.pack("<Q", word)) < 0:
            sys.exit(f"gen_libm_tables: sin's constant {name} = {value} is not in the library")
        head.append(word)
    return head, tab


def hexes(values, per_line=4):
    items = [f"0x{v:016x}u" for v in values]
    rows = [", ".join(items[i : i + per_line]) for i in range(0, len(items), per_line)]
    return "\n".join(f"    {row}," for row in rows)


def main():
    path = libm_path()
    data = path.read_bytes()
    e_head, e_tab = exp_data(data)
    l_head, l_tab, l_tab2 = log_data(data)
    p_head, p_tab = pow_log_data(data)
    ef_head, ef_tab = expf_data(data)
    lf_head, lf_tab = logf_data(data)
    pf_head, pf_tab = powf_data(data)
    sc_head, sc_tab = sincos_data(data)
    names = {
        "exp": ["kInvLn2N", "kNegLn2hiN", "kNegLn2loN", "kC2", "kC3", "kC4", "kC5", "kShift"],
        "log": ["kLn2hi", "kLn2lo"] + [f"kA{i}" for i in range(5)] + [f"kB{i}" for i in range(11)],
        "pow": ["kLn2hi", "kLn2lo"] + [f"kA{i}" for i in range(7)],
        "expf": ["kInvLn2N", "kC0", "kC1", "kC2", "kShift"]
        + ["kExp2Shift", "kExp2C0", "kExp2C1", "kExp2C2"],
        "powf": [f"kA{i}" for i in range(5)],
        "logf": ["kLn2", "kA0", "kA1", "kA2"],
        "sincos": list(SINCOS_CONSTANTS),
    }
    lines = [
        f"// Generated by scripts/gen_libm_tables.py from {path.name} (GNU build-id",
        f"// {build_id(path)}): glibc's exp, log, pow, expf, logf, powf, sin and cos",
        "// data. Do not edit.",
        "",
    ]
    described = [
        ("exp", e_head, e_tab,
         ["// {tail, sbits - (i << 45)} of 2^(i/128) for i < 128, as the library stores them."]),
        ("log", l_head, l_tab,
         ["// {1/c, log c} of the 128 subintervals of [0x1.6p-1, 0x1.6p0), as the library has "
          "them."]),
        ("pow", p_head, p_tab,
         ["// {1/c, log c, the tail of log c} of the 128 subintervals of [OFF, 2 OFF) (log's",
          "// double-double table in pow), in threes, as the library has them."]),
        ("expf", ef_head, ef_tab,
         ["// sbits - (i << 47) of 2^(i/32) for i < 32, as the library stores them."]),
        ("logf", lf_head, lf_tab,
         ["// {1/c, log c} of the 16 subintervals of [0x1.66p-1, 0x1.66p0), as the library has "
          "them."]),
        ("powf", pf_head, pf_tab,
         ["// {1/c, log2 c} of the 16 subintervals of [0x1.66p-1, 0x1.66p0), as the library "
          "has them."]),
        ("sincos", sc_head, sc_tab,
         ["// {sin, its tail, cos, its tail} of i/128 for i < 110 (__sincostab), as the library",
          "// has them."]),
    ]
    for k, (fn, head, table, comment) in enumerate(described):
        if k:
            lines.append("")
        lines.append(f"namespace glibc_{fn} {{")
        lines += [f"constexpr double {n} = {f64(w).hex()};" for n, w in zip(names[fn], head)]
        lines += comment
        lines += [f"alignas(64) constexpr std::uint64_t kTable[{len(table)}] = {{", hexes(table),
                  "};"]
        if fn == "log":
            lines += ["// {chi, clo} of the same subintervals, c = chi + clo, as the library has "
                      "them (its",
                      "// non-FMA build computes z - c with them).",
                      f"alignas(64) constexpr std::uint64_t kChiClo[{len(l_tab2)}] = {{",
                      hexes(l_tab2), "};"]
        lines.append(f"}}  // namespace glibc_{fn}")
    OUT.write_text("\n".join(lines) + "\n")
    print(f"gen_libm_tables: wrote {OUT.relative_to(ROOT)} from {path}")


if __name__ == "__main__":
    main()
