"""The process-wide hierarchy cache as the nearest-point kernel sees it: reference sets that
differ only in sign bits get their own answers, and many threads over more distinct reference sets
than the cache keeps stay correct. Many batches of small and large sets give the same bits on one
worker and on several."""
from concurrent.futures import ThreadPoolExecutor

import jax
import numpy as np
import pytest

from mirelon_jax import arrays_with_one_and_four_workers, call, register_all, shape

DTYPES = [np.float32, np.float64]


def nearest(q, r, dtype):
    """Distances and indices for one query set against a batch of reference sets."""
    r = np.asarray(r).reshape(-1, np.shape(r)[-2], 2)
    return call("points_closest_hard_fwd", [shape((len(r) * len(q),), dtype)] * 2,
                np.asarray(q, dtype), r.astype(dtype))


def brute_index(q, r):
    d = np.asarray(q, np.float64)[:, None, :] - np.asarray(r, np.float64)[None, :, :]
    return np.argmin(d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1], axis=1)


# Pairs of reference sets whose coordinate words differ only in an even number of sign bits,
# which a key folding the raw words with xor and multiplication could not tell apart.
TRIANGLE = np.array([[0.0, 0.0], [4.0, 1.0], [1.0, 3.0]])
RECTANGLE = np.array([[1.0, 1.0], [3.0, 1.0], [3.0, 2.0], [1.0, 2.0]])
rng0 = np.random.default_rng(8)
CLOUD = rng0.normal(size=(300, 2))
COLLIDING = [
    ("point set and its negation", CLOUD, -CLOUD),
    ("triangle and its half-turn", TRIANGLE, -TRIANGLE),
    ("rectangle and its mirror image", RECTANGLE, RECTANGLE * [-1.0, 1.0]),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name,first,second", COLLIDING, ids=[c[0] for c in COLLIDING])
def test_colliding_reference_sets_get_their_own_hierarchy(dtype, name, first, second):
    q = np.random.default_rng(9).uniform(-4, 4, size=(200, 2))
    for _ in range(2):  # alternate so that each lookup finds the other set's entry under its key
        for r in (first, second):
            _, index = nearest(q, r[None], dtype)
            np.testing.assert_array_equal(index, brute_index(q.astype(dtype), r.astype(dtype)))
    # both sets as two batches of one call
    _, index = nearest(q, np.stack([first, second]), dtype)
    want = np.concatenate([brute_index(q.astype(dtype), r.astype(dtype)) for r in (first, second)])
    np.testing.assert_array_equal(index, want)


def segment_distance(q, segs):
    """Distance from each query to its nearest segment, by a full scan in 64-bit."""
    q = np.asarray(q, np.float64)[:, None, :]
    a, b = segs[None, :, :2], segs[None, :, 2:]
    e = b - a
    t = np.clip(((q - a) * e).sum(-1) / ((e * e).sum(-1) + 1e-12), 0.0, 1.0)
    d = q - (a + t[..., None] * e)
    return np.sqrt((d * d).sum(-1).min(1) + 1e-12)


def ring_segments(v):
    return np.concatenate([v, np.roll(v, -1, axis=0)], axis=1)


@pytest.mark.parametrize("dtype", DTYPES)
def test_colliding_rings_and_segment_lists_get_their_own_hierarchy(dtype):
    q = np.random.default_rng(11).uniform(-4, 4, size=(300, 2)).astype(dtype)
    rect, mirror = RECTANGLE, RECTANGLE * [-1.0, 1.0]
    segs = np.random.default_rng(12).normal(size=(40, 4))
    tol = 1e-5 if dtype == np.float32 else 1e-12
    for _ in range(2):
        for v in (rect, mirror):
            sd, _, _ = call("polygon_sd_fwd", [shape((300,), dtype)] * 3, q, v.astype(dtype))
            np.testing.assert_allclose(np.abs(sd), segment_distance(q, ring_segments(v)),
                                       rtol=tol)
        for s in (segs, -segs):
            d, _, _ = call("segments_closest_fwd", [shape((300,), dtype)] * 3, q, s.astype(dtype))
            np.testing.assert_allclose(d, segment_distance(q, s.astype(dtype).astype(np.float64)),
                                       rtol=tol)


@pytest.mark.parametrize("dtype", DTYPES)
def test_many_threads_over_more_sets_than_the_cache_keeps(dtype):
    register_all()
    rng = np.random.default_rng(10)
    half = [rng.normal(size=(120, 2)).astype(dtype) for _ in range(45)]
    sets = half + [-r for r in half]  # 90 distinct sets, in colliding pairs
    queries = rng.uniform(-3, 3, size=(250, 2)).astype(dtype)
    want = [brute_index(queries, r) for r in sets]
    fn = jax.jit(jax.ffi.ffi_call("mirelon_points_closest_hard_fwd",
                                  [shape((250,), dtype)] * 2))
    fn(queries, sets[0])[1].block_until_ready()

    def work(seed):
        order = np.random.default_rng(seed).integers(0, len(sets), size=60)
        bad = 0
        for i in order:
            _, index = fn(queries, sets[i])
            bad += int(not np.array_equal(np.asarray(index), want[i]))
        return bad

    with ThreadPoolExecutor(max_workers=8) as pool:
        assert sum(pool.map(work, range(16))) == 0


_BATCHES_SCRIPT = """
rng = np.random.default_rng(3)
half_steps = lambda size: np.round(rng.uniform(-4, 4, size) * 2) / 2  # many exact ties
for dt in (np.float32, np.float64):
    q = half_steps((100, 37, 2)).astype(dt)
    n = q.shape[0] * q.shape[1]
    for sets in (1, 100):
        for k in (6, 16, 40, 200):  # one leaf, several leaves, past the size that skips the cache
            refs = half_steps((sets, k, 2)).astype(dt)
            out += call("points_closest_hard_fwd", [shape((n,), dt)] * 2, q, refs)
            out += call("polygon_sd_fwd", [shape((n,), dt)] * 3, q, refs)
            out += call("segments_closest_fwd", [shape((n,), dt)] * 3, q, refs.reshape(-1, 4))
"""


def test_many_batches_do_not_depend_on_the_worker_count():
    # One set for all 100 batches or one each, as many queries per batch as no lane width divides.
    one, four = arrays_with_one_and_four_workers(_BATCHES_SCRIPT)
    assert len(one) == 2 * 2 * 4 * 8 * 3700 * 6 and one == four
