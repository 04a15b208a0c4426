// The curve kernels' loops on the pool, bit for bit against plain loops over the elements in
// increasing order: both element types, one-value and per-element parameters and gradients,
// lengths that leave a remainder after every block, lane group and chunk (the longest spans
// several chunks of every ordered sum), with and without NaN. ctest runs these on four workers
// and once more on one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel_call.hpp"
#include "numeric.hpp"
#include "targets.hpp"
#include "transform/knots.hpp"

namespace {

template <typename T>
using Vec = std::vector<T>;
template <typename T>
using Vecs = std::vector<Vec<T>>;

constexpr size_t kLengths[] = {1, 7, 1003, 300007};

// n values in [lo, hi); with `nan`, NaN at irregular places.
template <typename T>
Vec<T> values(size_t n, double lo, double hi, uint64_t seed, bool nan) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  Vec<T> v(n);
  for (T& x : v) x = static_cast<T>(u(rng));
  if (nan)
    for (size_t i = 2; i < n; i += 3 + i % 1009) v[i] = std::numeric_limits<T>::quiet_NaN();
  return v;
}

// Ascending knots from lo with gaps in [0.1, 1), one of them zero wide.
template <typename T>
Vec<T> knots(size_t m, double lo, uint64_t seed) {
  Vec<T> v = values<T>(m, 0.1, 1.0, seed, false);
  double s = lo;
  for (T& x : v) x = static_cast<T>(s += x);
  if (m > 3) v[2] = v[1];
  return v;
}

// A parameter read or a gradient slot written at element i: one value or one per element.
template <typename T>
T at(const Vec<T>& v, size_t i) {
  return v.size() == 1 ? v[0] : v[i];
}
template <typename T>
T& slot(Vec<T>& v, size_t i) {
  return v.size() == 1 ? v[0] : v[i];
}

template <typename T>
T harmonic(size_t k) {
  return static_cast<T>(static_cast<double>(k)) * static_cast<T>(6.283185307179586);
}

// ---- the plain loops: outputs from inputs, written as a single thread would run them ----------

template <typename T>
void decay_fwd(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>&t = in[0], &p = in[1];
  for (size_t i = 0; i < t.size(); ++i)
    out[0][i] = in[2][0] == 0 ? std::exp(-t[i] / at(p, i))
                              : std::pow(mirelon::max_ignoring_nan(t[i], T(1e-9)), -at(p, i));
}

template <typename T>
void decay_vjp(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>&t = in[0], &p = in[1], &g = in[2];
  for (size_t i = 0; i < t.size(); ++i) {
    if (in[3][0] == 0) {
      const T tau = at(p, i), e = std::exp(-t[i] / tau);
      out[0][i] = (-e / tau) * g[i];
      slot(out[1], i) = slot(out[1], i) + ((t[i] * e) / (tau * tau)) * g[i];
    } else {
      const T c = mirelon::max_ignoring_nan(t[i], T(1e-9)), a = -at(p, i), y = std::pow(c, a);
      out[0][i] = ((a * y) / c) * g[i];
      slot(out[1], i) = slot(out[1], i) - g[i] * (std::log(c) * y);
    }
  }
}

template <typename T>
void logistic_fwd(const Vecs<T>& in, Vecs<T>& out) {
  for (size_t i = 0; i < in[0].size(); ++i)
    out[0][i] = at(in[3], i) / (std::exp((-(in[0][i] - at(in[1], i))) * at(in[2], i)) + T(1));
}

template <typename T>
void logistic_vjp(const Vecs<T>& in, Vecs<T>& out) {
  for (size_t i = 0; i < in[0].size(); ++i) {
    const T gi = in[4][i], ki = at(in[2], i), d = in[0][i] - at(in[1], i);
    const T s = T(1) / (std::exp((-d) * ki) + T(1));
    const T c = (at(in[3], i) * gi) * ((T(1) - s) * s);
    out[0][i] = ki * c;
    slot(out[1], i) = slot(out[1], i) - ki * c;
    slot(out[2], i) = slot(out[2], i) + d * c;
    slot(out[3], i) = slot(out[3], i) + gi * s;
  }
}

template <typename T>
void periodic_fwd(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>&a = in[2], &phi = in[3];
  for (size_t i = 0; i < in[0].size(); ++i) {
    T s = at(in[4], i);
    for (size_t k = 1; k <= a.size(); ++k)
      s = std::cos((harmonic<T>(k) * in[0][i]) / at(in[1], i) - phi[k - 1]) * a[k - 1] + s;
    out[0][i] = s;
  }
}

template <typename T>
void periodic_vjp(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>&a = in[2], &phi = in[3], &g = in[4];
  for (size_t i = 0; i < in[0].size(); ++i) {
    T r = T(0);
    for (size_t k = 1; k <= a.size(); ++k) {
      const T w = harmonic<T>(k) / at(in[1], i);
      T sn, cs;
      mirelon::sin_cos(in[0][i] * w - phi[k - 1], sn, cs);
      out[1][k - 1] = cs * g[i] + out[1][k - 1];
      r = r - w * (sn * a[k - 1]);
      out[2][k - 1] = (a[k - 1] * g[i]) * sn + out[2][k - 1];
    }
    out[0][i] = r * g[i];
    slot(out[3], i) = g[i] + slot(out[3], i);
  }
}

template <typename T>
void pwl_fwd(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>&xs = in[1], &ys = in[2];
  const size_t m = xs.size(), steps = mirelon::transform::knot_search_steps(m);
  for (size_t q = 0; q < in[0].size(); ++q) {
    if (m == 2) {
      const T c = mirelon::min_ignoring_nan(mirelon::max_ignoring_nan(in[0][q], xs[0]), xs[1]);
      out[0][q] = ((c - xs[0]) / ((xs[1] - xs[0]) + T(1e-12))) * (ys[1] - ys[0]) + ys[0];
    } else {
      const auto [i, t] = mirelon::transform::knot_interval(xs.data(), m, steps, in[0][q]);
      out[0][q] = (ys[i + 1] - ys[i]) * t + ys[i];
    }
  }
}

template <typename T>
void pwl_vjp(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>&xs = in[1], &ys = in[2];
  const size_t m = xs.size(), steps = mirelon::transform::knot_search_steps(m);
  for (size_t q = 0; q < in[0].size(); ++q) {
    const T v = in[0][q];
    if (v <= xs[0] || v >= xs[m - 1]) {
      out[0][q] = T(0);
      continue;
    }
    const size_t i = mirelon::transform::knot_search(xs.data(), m, steps, v);
    out[0][q] = ((ys[i + 1] - ys[i]) / ((xs[i + 1] - xs[i]) + T(1e-12))) * in[3][q];
  }
}

// Cell (ix, iy) and fractions of query i, each axis located on its own.
template <typename T>
void locate(const Vecs<T>& in, size_t i, size_t& ix, T& fx, size_t& iy, T& fy) {
  const auto lx = mirelon::transform::knot_interval(
      in[2].data(), in[2].size(), mirelon::transform::knot_search_steps(in[2].size()), in[0][i]);
  const auto ly = mirelon::transform::knot_interval(
      in[3].data(), in[3].size(), mirelon::transform::knot_search_steps(in[3].size()), in[1][i]);
  ix = lx.index, fx = lx.fraction, iy = ly.index, fy = ly.fraction;
}

template <typename T>
void table2d_fwd(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>& tab = in[4];
  const size_t nx = in[2].size();
  for (size_t i = 0; i < in[0].size(); ++i) {
    size_t ix, iy;
    T fx, fy;
    locate(in, i, ix, fx, iy, fy);
    const size_t r0 = iy * nx + ix, r1 = r0 + nx;
    out[0][i] = (((tab[r0] * (1 - fy)) * (1 - fx) + ((1 - fy) * tab[r0 + 1]) * fx) +
                 (tab[r1] * fy) * (1 - fx)) +
                (tab[r1 + 1] * fy) * fx;
  }
}

template <typename T>
void table2d_vjp(const Vecs<T>& in, Vecs<T>& out) {
  const Vec<T>&xs = in[2], &ys = in[3], &tab = in[4], &g = in[5];
  const size_t nx = xs.size();
  Vec<T>& dt = out[2];
  for (size_t i = 0; i < in[0].size(); ++i) {
    size_t ix, iy;
    T fx, fy;
    locate(in, i, ix, fx, iy, fy);
    const size_t r0 = iy * nx + ix, r1 = r0 + nx;
    const T u = g[i] * (1 - fy), w = fy * g[i];
    dt[r0] = dt[r0] + (1 - fx) * u;
    dt[r0 + 1] = dt[r0 + 1] + u * fx;
    dt[r1] = dt[r1] + (1 - fx) * w;
    dt[r1 + 1] = dt[r1 + 1] + w * fx;
    out[0][i] = ((fy * (tab[r1 + 1] - tab[r1]) + (1 - fy) * (tab[r0 + 1] - tab[r0])) * g[i]) /
                ((xs[ix + 1] - xs[ix]) + T(1e-12));
    out[1][i] = (g[i] * (fx * (tab[r1 + 1] - tab[r0 + 1]) + (1 - fx) * (tab[r1] - tab[r0]))) /
                ((ys[iy + 1] - ys[iy]) + T(1e-12));
  }
}

// ---- the cases ---------------------------------------------------------------------------------

// The operands of a forward (`fwd`) or gradient call: inputs, and the lengths of the outputs.
// Parameter j (and its gradient) holds one value when bit j of `ov` is set; `variant` is the
// decay kind, the number of harmonics or the number of knots.
template <typename T>
struct Operands {
  Vecs<T> in;
  std::vector<size_t> out;
};

size_t count(unsigned ov, size_t j, size_t n) { return ov >> j & 1 ? 1 : n; }

template <typename T>
Vec<T> cotangent(size_t n, bool nan) {
  return values<T>(n, -2.0, 2.0, n + 99, nan);
}

template <typename T>
Operands<T> decay(bool fwd, size_t n, unsigned ov, bool nan, unsigned kind) {
  const size_t c = count(ov, 0, n);
  Operands<T> o{{values<T>(n, -0.5, 8.0, n, nan), values<T>(c, 0.5, 3.0, n + 1, nan && c > 1)},
                {n}};
  if (!fwd) o.in.push_back(cotangent<T>(n, nan)), o.out.push_back(c);
  o.in.push_back({T(kind)});
  return o;
}

template <typename T>
Operands<T> logistic(bool fwd, size_t n, unsigned ov, bool nan, unsigned) {
  Operands<T> o{{values<T>(n, -6.0, 6.0, n, nan)}, {n}};
  for (size_t j = 0; j < 3; ++j) {
    const size_t c = count(ov, j, n);
    o.in.push_back(values<T>(c, 0.25 + j, 2.0 + j, n + j + 1, nan && c > 1));
    if (!fwd) o.out.push_back(c);
  }
  if (!fwd) o.in.push_back(cotangent<T>(n, nan));
  return o;
}

// The forward's last operand is the offset, the gradient's the cotangent.
template <typename T>
Operands<T> periodic(bool fwd, size_t n, unsigned ov, bool nan, unsigned h) {
  const size_t cp = count(ov, 0, n), cc = count(ov, 1, n);
  Operands<T> o{{values<T>(n, -10.0, 10.0, n, nan), values<T>(cp, 0.5, 3.0, n + 1, nan && cp > 1),
                 values<T>(h, -1.0, 1.0, n + 2, false), values<T>(h, -3.0, 3.0, n + 3, false)},
                {n}};
  if (fwd) {
    o.in.push_back(values<T>(cc, -1.0, 1.0, n + 4, nan && cc > 1));
  } else {
    o.in.push_back(cotangent<T>(n, nan));
    o.out.insert(o.out.end(), {h, h, cc});
  }
  return o;
}

template <typename T>
Operands<T> pwl(bool fwd, size_t n, unsigned, bool nan, unsigned k) {
  Operands<T> o{{values<T>(n, -1.0, 0.7 * k + 1, n, nan), knots<T>(k, 0.0, n + 1),
                 values<T>(k, -1.0, 1.0, n + 2, false)},
                {n}};
  if (!fwd) o.in.push_back(cotangent<T>(n, nan));
  return o;
}

constexpr size_t kNx = 9, kNy = 6;

template <typename T>
Operands<T> table2d(bool fwd, size_t n, unsigned, bool nan, unsigned) {
  Operands<T> o{{values<T>(n, -1.0, 0.6 * kNx + 1, n, nan),
                 values<T>(n, -1.0, 0.6 * kNy + 1, n + 1, nan), knots<T>(kNx, 0.0, n + 2),
                 knots<T>(kNy, 0.0, n + 3), values<T>(kNx * kNy, -1.0, 1.0, n + 4, false)},
                {n}};
  if (!fwd) o.in.push_back(cotangent<T>(n, nan)), o.out.insert(o.out.end(), {n, kNx * kNy});
  return o;
}

template <typename T>
using Make = Operands<T> (*)(bool, size_t, unsigned, bool, unsigned);
template <typename T>
using Loop = void (*)(const Vecs<T>&, Vecs<T>&);

struct Kernel {
  const char* name;
  mirelon::KernelFn f32, f64;
  Loop<float> plain32;
  Loop<double> plain64;
  Make<float> make32;
  Make<double> make64;
  bool fwd;
  unsigned variant;
  size_t params;   // one-value masks run over 2^params
  size_t longest;  // the longest length run

  template <typename T>
  auto pick(auto a32, auto a64) const {
    if constexpr (sizeof(T) == 4) {
      return a32;
    } else {
      return a64;
    }
  }
};

// Outputs of the kernel (handed over full of NaN) or of the plain loop (zero-filled first, as the
// kernels fill their summed outputs).
template <typename T>
Vecs<T> call(mirelon::KernelFn f, const Operands<T>& o) {
  Vecs<T> in = o.in, out;
  for (size_t len : o.out) out.emplace_back(len, std::numeric_limits<T>::quiet_NaN());
  EXPECT_EQ(mirelon::test_support::run(f, in, out), "");
  return out;
}

template <typename T>
Vecs<T> plain(Loop<T> loop, const Operands<T>& o) {
  Vecs<T> out;
  for (size_t len : o.out) out.emplace_back(len, T(0));
  loop(o.in, out);
  return out;
}

template <typename T>
void expect_plain_loop_bits(const Kernel& k) {
  for (size_t n : kLengths) {
    if (n > k.longest) continue;
    for (unsigned ov = 0; ov < 1u << k.params; ++ov) {
      for (bool nan : {false, true}) {
        const Operands<T> o = k.pick<T>(k.make32, k.make64)(k.fwd, n, ov, nan, k.variant);
        const Vecs<T> want = plain(k.pick<T>(k.plain32, k.plain64), o);
        const Vecs<T> got = call(k.pick<T>(k.f32, k.f64), o);
        for (size_t j = 0; j < want.size(); ++j) {
          const size_t at = mirelon::test_support::first_difference_but_nan(want[j], got[j]);
          EXPECT_EQ(at, want[j].size())
              << k.name << "<" << (sizeof(T) == 4 ? "float" : "double") << ">, n " << n
              << ", one-value mask " << ov << (nan ? ", with NaN" : "") << ": output " << j
              << " differs at " << at;
        }
      }
    }
  }
}

class TransformPool : public ::testing::TestWithParam<Kernel> {};

TEST_P(TransformPool, MatchesPlainLoopBitForBit) {
  expect_plain_loop_bits<float>(GetParam());
  expect_plain_loop_bits<double>(GetParam());
}

// name, kernel and its plain loop, operands, forward, variant, parameters, longest length
#define KERNEL(name, target, make, fwd, variant, params, longest)                            \
  Kernel {                                                                                   \
    name, &mirelon::target<float>, &mirelon::target<double>, &target<float>, &target<double>, \
        &make<float>, &make<double>, fwd, variant, params, longest                           \
  }

constexpr size_t kAll = SIZE_MAX;

// Periodic: 5 harmonics, and 37 (more than one group of harmonics) on the shorter lengths.
INSTANTIATE_TEST_SUITE_P(
    Curves, TransformPool,
    ::testing::Values(KERNEL("decay_fwd_exponential", decay_fwd, decay, true, 0, 1, kAll),
                      KERNEL("decay_fwd_power", decay_fwd, decay, true, 1, 1, kAll),
                      KERNEL("decay_vjp_exponential", decay_vjp, decay, false, 0, 1, kAll),
                      KERNEL("decay_vjp_power", decay_vjp, decay, false, 1, 1, kAll),
                      KERNEL("logistic_fwd", logistic_fwd, logistic, true, 0, 3, kAll),
                      KERNEL("logistic_vjp", logistic_vjp, logistic, false, 0, 3, kAll),
                      KERNEL("periodic_fwd", periodic_fwd, periodic, true, 5, 2, kAll),
                      KERNEL("periodic_vjp", periodic_vjp, periodic, false, 5, 2, kAll),
                      KERNEL("periodic_fwd_many", periodic_fwd, periodic, true, 37, 2, 1003),
                      KERNEL("periodic_vjp_many", periodic_vjp, periodic, false, 37, 2, 1003),
                      KERNEL("pwl_fwd_line", pwl_fwd, pwl, true, 2, 0, kAll),
                      KERNEL("pwl_fwd", pwl_fwd, pwl, true, 13, 0, kAll),
                      KERNEL("pwl_vjp", pwl_vjp, pwl, false, 13, 0, kAll),
                      KERNEL("table2d_fwd", table2d_fwd, table2d, true, 0, 0, kAll),
                      KERNEL("table2d_vjp", table2d_vjp, table2d, false, 0, 0, kAll)),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
