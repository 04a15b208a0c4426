"""Writes the seed corpus of the entry fuzzer, tests/fuzz/corpus/<family>/: for every target of a
family, calls that pass its shape checks, in 64-bit and in 32-bit, so that fuzzing starts from
calls that reach the kernels' loops. Each file is the bytes the fuzzer reads (fuzz_entries.cpp):
the target's position in its family, the flags (element type, operand counts), the odd element
type, then per operand its rank, its extents and, for an input, one byte per value.

    python3 tests/fuzz/make_corpus.py      # rewrites the corpus directories
"""
import hashlib
import pathlib
import re
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
SOURCE = (HERE / "fuzz_entries.cpp").read_text()


def palette(name):
    """The entries of a palette array of fuzz_entries.cpp that are plain numbers, by position."""
    body = re.search(name + r"\[\] = \{(.*?)\};", SOURCE, re.S).group(1)
    out = {}
    for k, token in enumerate(t.strip() for t in body.split(",")):
        try:
            out.setdefault(float(token), k)
        except ValueError:
            pass
    return out


EXTENTS = palette("kExtents")
VALUES = palette("kValues")
FLAG_F32 = 8

# The families by kernel-name prefix, as family_of in fuzz_entries.cpp has them.
FAMILIES = [
    ("density", ("logp_", "cdf_", "q_")),
    ("multivariate", ("mvn_", "mixture_", "kde_", "histogram_", "copula_", "corr_chol_",
                      "vonmises_")),
    ("points", ("points_", "pairwise_", "row_reduce_")),
    ("segments", ("segments_", "polygon_")),
    ("shapes", ("ellipse_", "halfspace_", "ray_", "volume_")),
    ("fields", ("field", "mesh_")),
    ("graphs", ("cascade_", "edge_", "boundary_")),
]


def family_of(kernel):
    for family, prefixes in FAMILIES:
        if kernel.startswith(prefixes):
            return family
    return "transforms"


def targets():
    text = (ROOT / "mirelon-kernels/src/targets.hpp").read_text()
    return [(m[0], int(m[1]), int(m[2])) for m in re.findall(r"X\((\w+), (\d+), (\d+)\)", text)]


def value_byte(v):
    """The byte (or the 255 escape and eight bytes) that the fuzzer reads as v."""
    if v in VALUES:
        return bytes([VALUES[v]])
    b = 128 + 8 * v
    if b == int(b) and 32 <= b < 255:
        return bytes([int(b)])
    return b"\xff" + struct.pack(">d", v)


def operand(dims, values=None):
    """An operand of these extents; an input carries `values` (cycled over its elements)."""
    out = bytearray([len(dims)])
    count = 1
    for d in dims:
        out.append(EXTENTS[float(d)])
        count *= d
    assert count <= 300, dims
    if values is not None and count > 0:
        for k in range(count):
            out += value_byte(float(values[k % len(values)]))
    if count == 0:
        out.append(0)  # the data pointer of an empty operand: dangling
    return bytes(out)


SMOOTH = [0.5, -1.25, 2.0, 0.75, -0.5, 1.5, 3.25, -2.0, 0.25, 1.0, -0.75]


def call(inputs, outputs):
    """inputs: (dims, values) pairs, values None for smooth ones; outputs: dims."""
    return [operand(d, SMOOTH if v is None else v) for d, v in inputs] + \
        [operand(d) for d in outputs]


def density(kernel, n_in):
    """x, its one or two parameters (one shared value, one per element) and, for a gradient,
    the cotangent; the outputs shaped alike."""
    gradient = kernel.endswith("_vjp")
    x = ([5], [0.125, 0.25, 0.5, 0.75, 0.875])
    params = [([1], [1.5]), ([5], [2.0, 1.25, 3.0, 0.5, 1.0])][: n_in - 1 - gradient]
    if not gradient:
        return [call([x] + params, [[5]])]
    return [call([x] + params + [([5], None)], [[5]] + [d for d, _ in params])]


def seeds(kernel, n_in):
    """Well-formed calls of one target (each a list of operand encodings)."""
    if family_of(kernel) == "density":
        return density(kernel, n_in)
    pts = ([2, 3, 2], None)
    ref = ([2, 4, 2], [0.0, 0.0, 1.0, 0.0, 1.0, 1.0, 0.0, 1.0])
    g23 = ([2, 3], None)
    idx4 = [0.0, 1.0, 3.0, 2.0, 1.0, 0.0]
    pos = [0.5, 0.25, 1.0, 0.0, 0.75, 0.5]
    segs = ([5, 4], [0.0, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 1.0, 1.0, 1.0, 0.0, 1.0,
                     0.0, 1.0, 0.0, 0.0, 2.0, 2.0, 3.0, 1.0])
    tri = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]  # a lower-triangular factor
    table = {
        "mvn_logp_fwd": [call([([4, 3], None), ([3], None), ([3, 3], tri)], [[4]])],
        "mvn_logp_vjp": [call([([4, 3], None), ([3], None), ([3, 3], tri), ([4], None)],
                              [[4, 3], [3], [3, 3]])],
        "mixture_fwd": [call([([4, 3], None), ([3], [-1.0, -0.5, -2.0])], [[4]])],
        "mixture_vjp": [call([([4, 3], None), ([3], [-1.0, -0.5, -2.0]), ([4], None)],
                             [[4, 3], [3]])],
        "kde_fwd": [call([([5], None), ([7], None), ([1], [0.5])], [[5]])],
        "kde_vjp": [call([([5], None), ([7], None), ([1], [0.5]), ([5], None)], [[5], [7]])],
        "histogram_fwd": [call([([5], None), ([4], [-1.0, 0.0, 1.0, 2.0]), ([3], [1.0, 2.0, 0.5])],
                               [[5]])],
        "histogram_vjp": [call([([5], None), ([4], [-1.0, 0.0, 1.0, 2.0]),
                                ([3], [1.0, 2.0, 0.5]), ([5], None)], [[3]])],
        "copula_fwd": [call([([4, 3], [0.25, 0.5, 0.75, 0.125]), ([3], None)], [[4]])],
        "copula_vjp": [call([([4, 3], [0.25, 0.5, 0.75, 0.125]), ([3], None), ([4], None)],
                            [[4, 3], [3]])],
        "corr_chol_fwd": [call([([3], None)], [[3, 3]])],
        "corr_chol_vjp": [call([([3], None), ([3, 3], None)], [[3]])],
        "vonmises_sample": [call([([16], [0.25, 0.5, 0.75, 0.125, 0.875]), ([4], None),
                                  ([4], [2.0, 0.5, 10.0, 1.0])], [[4]])],
        "vonmises_sample_bwd": [call([([4], None), ([4], [2.0, 0.5, 10.0, 1.0]), ([4], None),
                                      ([4], None)], [[4], [4]])],
        "points_closest_hard_fwd": [call([pts, ref], [[2, 3], [2, 3]])],
        "points_closest_hard_vjp": [call([pts, ref, ([2, 3], idx4), g23],
                                         [[2, 3, 2], [2, 4, 2]])],
        "points_closest_soft_fwd": [call([pts, ref, ([2], [0.5, 0.0])], [[2, 3]])],
        "points_closest_soft_vjp": [call([pts, ref, ([2], [0.5, 0.0]), g23],
                                         [[2, 3, 2], [2, 4, 2]])],
        "pairwise_fwd": [call([pts, ref], [[2, 3, 4]])],
        "pairwise_vjp": [call([pts, ref, ([2, 3, 4], None)], [[2, 3, 2], [2, 4, 2]])],
        "row_reduce_fwd": [call([pts, ref, ([2], [1.5, 0.5]), ([1], [k])], [[2, 3]])
                           for k in range(5)],
        "row_reduce_vjp": [call([pts, ref, ([2], [1.5, 0.5]), g23, ([1], [k])],
                                [[2, 3, 2], [2, 4, 2]]) for k in range(5)],
        "polygon_sd_fwd": [call([pts, ref], [[2, 3], [2, 3], [2, 3]])],
        "polygon_sd_vjp": [call([pts, ref, ([6], idx4), ([6], pos), ([6], None)],
                                [[2, 3, 2], [2, 4, 2]])],
        "polygon_area_fwd": [call([ref], [[2]])],
        "polygon_area_vjp": [call([ref, ([2], None)], [[2, 4, 2]])],
        "polygon_perimeter_fwd": [call([ref], [[2]])],
        "polygon_perimeter_vjp": [call([ref, ([2], None)], [[2, 4, 2]])],
        "segments_closest_fwd": [call([pts, segs], [[6], [6], [6]])],
        "segments_closest_vjp": [call([pts, segs, ([6], idx4), ([6], pos), ([6], None)],
                                      [[2, 3, 2], [5, 4]])],
        "segments_length_fwd": [call([segs], [[1]])],
        "segments_length_vjp": [call([segs, ([1], None)], [[5, 4]])],
        "segments_matrix_fwd": [call([pts, segs], [[2, 3, 5]])],
        "segments_matrix_vjp": [call([pts, segs, ([2, 3, 5], None)], [[2, 3, 2], [5, 4]])],
        "ellipse_sd_fwd": [call([pts, ([2, 2], None), ([2, 2], [2.0, 1.0, 1.5, 0.5]),
                                 ([2], [0.5, 0.0])], [[2, 3]])],
        "ellipse_sd_vjp": [call([pts, ([2, 2], None), ([2, 2], [2.0, 1.0, 1.5, 0.5]),
                                 ([2], [0.5, 0.0]), g23], [[2, 3, 2], [2, 2], [2, 2], [2]])],
        "halfspace_sd_fwd": [call([pts, ([2, 4, 2], None), ([2, 4], [1.0, 0.5]),
                                   ([2], [0.0, 0.25])], [[2, 3]])],
        "halfspace_sd_vjp": [call([pts, ([2, 4, 2], None), ([2, 4], [1.0, 0.5]),
                                   ([2], [0.0, 0.25]), g23], [[2, 3, 2], [2, 4, 2], [2, 4]])],
        "ray_matrix_fwd": [call([pts, ([2, 4, 2], None), ([2, 4, 2], None)], [[2, 3, 4]])],
        "ray_matrix_vjp": [call([pts, ([2, 4, 2], None), ([2, 4, 2], None),
                                 ([2, 3, 4], None)], [[2, 3, 2], [2, 4, 2], [2, 4, 2]])],
        "volume_mc": [call([([10, d], [0.5, -0.25, 0.75, -1.0]), ([4, d], None), ([1], [1.5]),
                            ([4], [0.5, 1.0, 0.25, 0.75])], [[1]]) for d in (2, 0)],
        "volume_mc_vjp": [call([([10, d], [0.5, -0.25, 0.75, -1.0]), ([4, d], None),
                                ([1], [1.5]), ([4], [0.5, 1.0, 0.25, 0.75]), ([1], [1.0])],
                               [[4, d], [4]]) for d in (2, 0)],
        "field_interp_fwd": [call([([2, 4, 5], None), pts, ([2], [0.0, -1.0]),
                                   ([2], [0.5, 1.0])], [[2, 3]])],
        "field_interp_vjp": [call([([2, 4, 5], None), pts, ([2], [0.0, -1.0]),
                                   ([2], [0.5, 1.0]), g23], [[2, 4, 5], [2, 3, 2]])],
        "field3_interp_fwd": [call([([3, 4, 5], None), ([3, 3], None), ([3], [0.0, -1.0, 0.5]),
                                    ([3], [0.5, 1.0, 0.75])], [[3]])],
        "field3_interp_vjp": [call([([3, 4, 5], None), ([3, 3], None), ([3], [0.0, -1.0, 0.5]),
                                    ([3], [0.5, 1.0, 0.75]), ([3], None)], [[3, 4, 5], [3, 3]])],
        "mesh_interp_fwd": [call([([4, 2], [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 1.0, 1.0]),
                                  ([2, 3], [0.0, 1.0, 2.0, 1.0, 3.0, 2.0]), ([4], None),
                                  ([5, 2], [0.25, 0.25, 0.75, 0.5, 2.0, -1.0, 0.5])],
                                 [[5], [5], [3, 5]])],
        "mesh_interp_vjp": [call([([4, 2], [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 1.0, 1.0]),
                                  ([2, 3], [0.0, 1.0, 2.0, 1.0, 3.0, 2.0]), ([4], None),
                                  ([5], [0.0, 1.0, 1.0, 0.0, 1.0]),
                                  ([3, 5], [0.5, 0.25, 0.25]), ([5], None)], [[4], [5, 2]])],
        "cascade_fwd": [call([([2, 5], None), ([4, 2], [0.0, 1.0, 1.0, 2.0, 2.0, 0.0, 3.0, 4.0]),
                              ([4], None), ([1], [s])], [[2, 5]]) for s in (3.0, 0.0)],
        "cascade_vjp": [call([([2, 5], None), ([4, 2], [0.0, 1.0, 1.0, 2.0, 2.0, 0.0, 3.0, 4.0]),
                              ([4], None), ([1], [s]), ([2, 5], None)], [[2, 5], [4]])
                        for s in (3.0, 0.0)],
        "edge_lengths_fwd": [call([([5, 2], None), ([4, 2], [0.0, 1.0, 1.0, 2.0, 4.0, 3.0])],
                                  [[4]])],
        "edge_lengths_vjp": [call([([5, 2], None), ([4, 2], [0.0, 1.0, 1.0, 2.0, 4.0, 3.0]),
                                   ([4], None)], [[5, 2]])],
        "boundary_point_at_fwd": [call([([5, 2], None), ([4], [0.0, 0.25, 0.5, 1.0]),
                                        ([1], [c])], [[4, 2], [4], [4]]) for c in (0.0, 1.0)],
        "boundary_point_at_vjp": [call([([5, 2], None), ([4], [0.0, 0.25, 0.5, 1.0]),
                                        ([1], [c]), ([4], [0.0, 1.0, 2.0, 3.0]),
                                        ([4], [0.0, 0.5, 0.25, 1.0]), ([4, 2], None)],
                                       [[5, 2], [4]]) for c in (0.0, 1.0)],
        "pwl_fwd": [call([([5], None), ([4], [-1.0, 0.0, 1.0, 2.5]), ([4], None)], [[5]])],
        "pwl_vjp": [call([([5], None), ([4], [-1.0, 0.0, 1.0, 2.5]), ([4], None), ([5], None)],
                         [[5]])],
        "decay_fwd": [call([([5], [0.0, 0.5, 1.0, 2.0, 4.0]), ([1], [1.5]), ([1], [k])], [[5]])
                      for k in (0.0, 1.0)],
        "decay_vjp": [call([([5], [0.0, 0.5, 1.0, 2.0, 4.0]), ([5], None), ([5], None),
                            ([1], [k])], [[5], [5]]) for k in (0.0, 1.0)],
        "logistic_fwd": [call([([5], None), ([1], [0.5]), ([5], None), ([1], [2.0])], [[5]])],
        "logistic_vjp": [call([([5], None), ([1], [0.5]), ([5], None), ([1], [2.0]),
                               ([5], None)], [[5], [1], [5], [1]])],
        "periodic_fwd": [call([([5], None), ([1], [3.0]), ([3], None), ([3], None), ([1], [0.5])],
                              [[5]])],
        "periodic_vjp": [call([([5], None), ([1], [3.0]), ([3], None), ([3], None), ([5], None)],
                              [[5], [3], [3], [1]])],
        "table2d_fwd": [call([([5], None), ([5], None), ([3], [-1.0, 0.0, 2.0]),
                              ([4], [-2.0, -1.0, 0.5, 3.0]), ([4, 3], None)], [[5]])],
        "table2d_vjp": [call([([5], None), ([5], None), ([3], [-1.0, 0.0, 2.0]),
                              ([4], [-2.0, -1.0, 0.5, 3.0]), ([4, 3], None), ([5], None)],
                             [[5], [5], [4, 3]])],
    }
    return table[kernel]


def main():
    rows = targets()
    corpus = HERE / "corpus"
    for family in [f for f, _ in FAMILIES] + ["transforms"]:
        members = [r for r in rows if family_of(r[0]) == family]
        out = corpus / family
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        for position, (kernel, n_in, n_out) in enumerate(members):
            for operands in seeds(kernel, n_in):
                assert len(operands) == n_in + n_out, kernel
                for flags in (0, FLAG_F32):
                    data = bytes([position, flags, 8]) + b"".join(operands)
                    name = kernel + "-" + hashlib.sha1(data).hexdigest()[:12]
                    (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
