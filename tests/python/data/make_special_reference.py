"""Writes special_reference.json: mpmath values (30 significant digits) of the density special
functions at fixed 64-bit arguments, plus the standard normal distribution function at the
arguments the gaussian kernels hand to erfc. Run once; the table is committed.

    python tests/python/data/make_special_reference.py
"""
import json
import os

import mpmath as mp
import numpy as np

mp.mp.dps = 40
MINUS_INV_SQRT2 = -0.7071067811865476


def s(v):
    return mp.nstr(v, 30, min_fixed=-1, max_fixed=-1) if mp.isfinite(v) else str(v)


def x(v):
    return repr(float(v))


def table():
    t = {}
    t["ln_gamma"] = [[x(a), s(mp.log(mp.gamma(a)))] for a in
                     [0.5, 0.75, 1.0, 1.5, 2.0, 2.5, 3.25, 7.0, 10.0, 33.3, 100.0, 1234.5, 1e6,
                      0.25, 0.1, 1e-3, 1e-8, -1.5, -2.5, -3.25]
                     if mp.gamma(a) > 0]
    erfc_args = [0.0, 1e-8, 0.1, 0.5, 1.0, 1.5, 2.0, 3.0, 4.5, 6.0, 10.0, 15.0, 20.0, 26.0,
                 -1e-8, -0.3, -1.0, -2.5, -5.0, -10.0]
    t["erfc"] = [[x(a), s(mp.erfc(a))] for a in erfc_args]
    t["normal_quantile"] = [[x(p), s(mp.sqrt(2) * mp.erfinv(2 * mp.mpf(p) - 1))] for p in
                            [1e-300, 1e-100, 1e-20, 1e-12, 1e-6, 0.001, 0.02, 0.02425, 0.05,
                             0.2, 0.4, 0.5, 0.6, 0.9, 0.97575, 0.98, 0.999, 0.999999,
                             0.9999999]]
    t["digamma"] = [[x(a), s(mp.digamma(a))] for a in
                    [1.0, 0.5, 1e-3, 2.5, 5.999, 6.0, 7.5, 20.0, 1e3, 1e8,
                     -0.5, -1.25, -7.3, -123.45, -12345.6, -9876543209.5]]
    t["bessel_i0e"] = [[x(k), s(mp.besseli(0, abs(k)) * mp.exp(-abs(k)))] for k in
                       [0.0, 0.01, 0.5, 1.0, 2.0, 3.0, 3.7, 3.75, 4.0, 7.5, 20.0, 100.0, 1e4,
                        -0.5, -3.0, -50.0]]
    t["bessel_i1e"] = [[x(k), s(mp.sign(k) * mp.besseli(1, abs(k)) * mp.exp(-abs(k)))] for k in
                       [0.0, 0.01, 0.5, 1.0, 2.0, 3.0, 3.7, 3.75, 4.0, 7.5, 20.0, 100.0, 1e4,
                        -0.5, -3.0, -50.0]]
    # The gaussian distribution function as the kernels evaluate it: erfc at z * (-1/sqrt 2)
    # rounded to double, halved.
    zs = [-37.5, -30.0, -20.0, -10.0, -5.0, -2.0, -1.0, -0.25, 0.0, 0.3, 1.0, 2.5, 5.0, 8.0]
    t["cdf_standard_normal"] = [
        [x(z), s(mp.erfc(mp.mpf(float(np.float64(z) * MINUS_INV_SQRT2))) / 2)] for z in zs]
    return t


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "special_reference.json")
    sections = [f' "{name}": [\n' + ",\n".join(f"  {json.dumps(pair)}" for pair in pairs) + "\n ]"
                for name, pairs in table().items()]
    with open(out, "w") as f:
        f.write("{\n" + ",\n".join(sections) + "\n}\n")
    print("wrote", out)
