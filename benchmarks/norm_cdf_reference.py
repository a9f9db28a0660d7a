"""Reference values of the standard normal CDF for tests/cpp/test_normal.cpp.

Prints the C++ tables of the dense-grid accuracy test of _norm_cdf's erfc
form: Phi(z) at z_i = (-10 + i/128) + j_i 2^-49 for i = 1 .. 2341, one point
in each interval of width 1/128 of (-10, 8.3), and at the two doubles on
either side of |z| = 0.6629126073623883, where the erfc form changes method.
j_i < 2^42 is the top 42 bits of the 64-bit product i * 0x9E3779B97F4A7C15
(Fibonacci hashing), so the points carry full 53-bit significands (a grid of
short dyadic numbers would leave the low bits of z, and so the split of z^2,
untested) and are still exact sums that the test forms bit for bit. Values come from
mpmath at 60 significant digits, from the exact double z, and are printed to
21 significant digits as long double literals (64-bit significand on x86-64,
about 1e-19 relative: far below the ulp-level errors the test measures).

    python benchmarks/norm_cdf_reference.py > /tmp/table.inc

The output replaces the bodies of kNormCdfGrid and kNormCdfCentralBound.
"""

import math

import mpmath

GRID_STEP = 128
GRID_FIRST, GRID_LAST = 1, 2341
HASH = 0x9E3779B97F4A7C15
CENTRAL_BOUND = 0.6629126073623883


def ncdf(z):
    return mpmath.ncdf(mpmath.mpf(z))


def literal(v):
    # Always in scientific notation.
    return mpmath.nstr(v, 21, min_fixed=1, max_fixed=0) + "L"


def grid_point(i):
    j = ((i * HASH) & (2**64 - 1)) >> 22
    z = (-10.0 + i / GRID_STEP) + j * 2.0**-49
    # Every term is a multiple of 2^-49 and |z| < 16: the sum is exact.
    assert mpmath.mpf(z) == mpmath.mpf(-10) + mpmath.mpf(i) / GRID_STEP + mpmath.mpf(j) / 2**49
    return z


def main():
    mpmath.mp.dps = 60
    zs = [grid_point(i) for i in range(GRID_FIRST, GRID_LAST + 1)]
    assert all(z > -10.0 and z < 8.3 for z in zs)
    print(f"// Grid: Phi(z_i), i = {GRID_FIRST:d} .. {GRID_LAST:d}.")
    items = [literal(ncdf(z)) for z in zs]
    for k in range(0, len(items), 4):
        print("    " + ", ".join(items[k : k + 4]) + ",")
    print("// Central bound: {z, Phi(z)}.")
    above = math.nextafter(CENTRAL_BOUND, 1.0)
    for z in (-above, -CENTRAL_BOUND, CENTRAL_BOUND, above):
        print(f"    {{{z!r}, {literal(ncdf(z))}}},")


if __name__ == "__main__":
    main()
