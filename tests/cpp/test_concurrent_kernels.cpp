// Every kernel that runs a loop on the pool, called from many host threads at once: each call
// gives the bits of the same call made alone. The closest-point and polygon kernels go through the
// hierarchy cache over more reference sets than it keeps, so entries are dropped while other
// threads query them. The ThreadSanitizer build runs this too; sizes are small, but every loop
// has enough items to split across the workers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "targets.hpp"

namespace mirelon {
namespace {

using Dims = std::vector<int64_t>;
using Values = std::function<double(size_t)>;

// A fixed pseudo-random value in [0, 1) for index i of stream `seed`.
double unit(uint64_t seed, size_t i) {
  uint64_t z = seed * 0x9e3779b97f4a7c15ull + i + 1;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1p-53;
}

Values uniform(double lo, double hi, uint64_t seed) {
  return [=](size_t i) { return lo + (hi - lo) * unit(seed, i); };
}
Values constant(double v) {
  return [=](size_t) { return v; };
}
// Node or bin indices below n.
Values index_below(size_t n, uint64_t seed) {
  return [=](size_t i) { return std::floor(unit(seed, i) * static_cast<double>(n)); };
}
// Increasing values lo, lo + step, ...
Values ramp(double lo, double step) {
  return [=](size_t i) { return lo + step * static_cast<double>(i); };
}
// A d x d lower-triangular factor with a diagonal well away from 0.
Values lower_factor(size_t d) {
  return [=](size_t i) {
    const size_t row = i / d, col = i % d;
    return col > row ? 0.0 : (col == row ? 1.5 + 0.25 * static_cast<double>(row) : 0.3);
  };
}

struct Operand {
  Dims dims;
  Values values;
};

struct KernelCase {
  const char* name;
  KernelFn f32;
  KernelFn f64;
  std::vector<Operand> inputs;
  std::vector<Dims> outputs;
};

#define MIRELON_KERNEL(name) #name, &name<float>, &name<double>

// Node values, edges and weights of a graph whose edge list is long enough to be checked,
// measured and propagated on the pool.
constexpr int64_t kNodes = 256;
constexpr int64_t kEdges = int64_t{1} << 16;

const std::vector<KernelCase>& pool_kernels() {
  static const std::vector<KernelCase> cases = [] {
    const Values x = uniform(-3.0, 3.0, 1);
    const Values positive = uniform(0.2, 2.5, 2);
    const Values probability = uniform(0.01, 0.99, 3);
    const Values angle = uniform(-3.0, 3.0, 4);
    const Values loc = uniform(-1.0, 1.0, 5);
    const Values coords = uniform(-5.0, 5.0, 6);
    const Values other_coords = uniform(-5.0, 5.0, 7);
    const Values g = uniform(-1.0, 1.0, 8);
    const int64_t n = 512;
    std::vector<KernelCase> c = {
        // Univariate densities and distribution functions: one-value and per-element parameters.
        {MIRELON_KERNEL(logp_gaussian_fwd), {{{n}, x}, {{n}, loc}, {{1}, positive}}, {{n}}},
        {MIRELON_KERNEL(logp_lognormal_fwd), {{{n}, positive}, {{1}, loc}, {{n}, positive}}, {{n}}},
        {MIRELON_KERNEL(logp_exponential_fwd), {{{n}, positive}, {{1}, positive}}, {{n}}},
        {MIRELON_KERNEL(logp_uniform_fwd), {{{n}, x}, {{1}, constant(-2)}, {{1}, constant(2)}},
         {{n}}},
        {MIRELON_KERNEL(logp_weibull_fwd), {{{n}, positive}, {{n}, positive}, {{1}, positive}},
         {{n}}},
        {MIRELON_KERNEL(logp_gumbel_fwd), {{{n}, x}, {{1}, loc}, {{1}, positive}}, {{n}}},
        {MIRELON_KERNEL(logp_beta_fwd), {{{n}, probability}, {{n}, positive}, {{1}, positive}},
         {{n}}},
        {MIRELON_KERNEL(logp_gamma_fwd), {{{n}, positive}, {{1}, positive}, {{n}, positive}},
         {{n}}},
        {MIRELON_KERNEL(logp_vonmises_fwd), {{{n}, angle}, {{1}, loc}, {{n}, positive}}, {{n}}},
        {MIRELON_KERNEL(logp_wrapped_gaussian_fwd), {{{n}, angle}, {{n}, loc}, {{1}, positive}},
         {{n}}},
        {MIRELON_KERNEL(cdf_gaussian_fwd), {{{n}, x}, {{1}, loc}, {{n}, positive}}, {{n}}},
        {MIRELON_KERNEL(cdf_lognormal_fwd), {{{n}, positive}, {{n}, loc}, {{1}, positive}}, {{n}}},
        {MIRELON_KERNEL(cdf_exponential_fwd), {{{n}, positive}, {{n}, positive}}, {{n}}},
        {MIRELON_KERNEL(cdf_uniform_fwd), {{{n}, x}, {{1}, constant(-2)}, {{n}, positive}},
         {{n}}},
        {MIRELON_KERNEL(cdf_weibull_fwd), {{{n}, positive}, {{1}, positive}, {{1}, positive}},
         {{n}}},
        {MIRELON_KERNEL(cdf_gumbel_fwd), {{{n}, x}, {{n}, loc}, {{n}, positive}}, {{n}}},
        // Multivariate densities and the sampler.
        {MIRELON_KERNEL(kde_fwd), {{{64}, x}, {{64}, loc}, {{1}, constant(0.4)}}, {{64}}},
        {MIRELON_KERNEL(mixture_fwd), {{{256, 4}, x}, {{4}, loc}}, {{256}}},
        {MIRELON_KERNEL(histogram_fwd), {{{256}, x}, {{9}, ramp(-3.0, 0.75)}, {{8}, positive}},
         {{256}}},
        {MIRELON_KERNEL(mvn_logp_fwd), {{{128, 3}, x}, {{3}, loc}, {{3, 3}, lower_factor(3)}},
         {{128}}},
        {MIRELON_KERNEL(mvn_logp_vjp),
         {{{128, 3}, x}, {{3}, loc}, {{3, 3}, lower_factor(3)}, {{128}, g}},
         {{128, 3}, {3}, {3, 3}}},
        {MIRELON_KERNEL(copula_fwd), {{{64, 3}, probability}, {{3}, loc}}, {{64}}},
        {MIRELON_KERNEL(copula_vjp), {{{64, 3}, probability}, {{3}, loc}, {{64}, g}},
         {{64, 3}, {3}}},
        {MIRELON_KERNEL(vonmises_sample), {{{128 * 2 * 3}, probability}, {{1}, loc}, {{128}, positive}},
         {{128}}},
        // Geometry. 70 reference sets per call: more than a cache map keeps.
        {MIRELON_KERNEL(points_closest_hard_fwd), {{{70, 4, 2}, coords}, {{70, 10, 2}, other_coords}},
         {{70, 4}, {70, 4}}},
        {MIRELON_KERNEL(polygon_sd_fwd), {{{70, 4, 2}, coords}, {{70, 6, 2}, other_coords}},
         {{70, 4}, {70, 4}, {70, 4}}},
        {MIRELON_KERNEL(segments_closest_fwd), {{{2, 64, 2}, coords}, {{2, 10, 4}, other_coords}},
         {{2, 64}, {2, 64}, {2, 64}}},
        {MIRELON_KERNEL(points_closest_soft_fwd),
         {{{2, 64, 2}, coords}, {{1, 40, 2}, other_coords}, {{2}, uniform(0.0, 1.0, 9)}},
         {{2, 64}}},
        {MIRELON_KERNEL(pairwise_fwd), {{{1, 48, 2}, coords}, {{1, 40, 2}, other_coords}},
         {{1, 48, 40}}},
        {MIRELON_KERNEL(row_reduce_fwd),
         {{{1, 64, 2}, coords}, {{1, 40, 2}, other_coords}, {{1}, constant(0.5)}, {{1}, constant(1)}},
         {{1, 64}}},
        {MIRELON_KERNEL(segments_matrix_fwd), {{{1, 64, 2}, coords}, {{1, 8, 4}, other_coords}},
         {{1, 64, 8}}},
        {MIRELON_KERNEL(ellipse_sd_fwd),
         {{{2, 64, 2}, coords}, {{2, 2}, loc}, {{2, 2}, positive}, {{2}, angle}}, {{2, 64}}},
        {MIRELON_KERNEL(halfspace_sd_fwd),
         {{{2, 64, 3}, coords}, {{1, 5, 3}, other_coords}, {{2, 5}, positive},
          {{2}, ramp(0.0, 0.5)}},
         {{2, 64}}},
        {MIRELON_KERNEL(halfspace_sd_vjp),
         {{{2, 64, 3}, coords}, {{1, 5, 3}, other_coords}, {{2, 5}, positive},
          {{2}, ramp(0.0, 0.5)}, {{2, 64}, g}},
         {{2, 64, 3}, {1, 5, 3}, {2, 5}}},
        {MIRELON_KERNEL(ray_matrix_fwd),
         {{{2, 32, 3}, coords}, {{2, 6, 3}, other_coords}, {{2, 6, 3}, loc}}, {{2, 32, 6}}},
        {MIRELON_KERNEL(cascade_fwd),
         {{{2, kNodes}, x}, {{kEdges, 2}, index_below(kNodes, 10)}, {{kEdges}, uniform(-0.1, 0.1, 11)},
          {{1}, constant(2)}},
         {{2, kNodes}}},
        {MIRELON_KERNEL(cascade_vjp),
         {{{2, kNodes}, x}, {{kEdges, 2}, index_below(kNodes, 10)}, {{kEdges}, uniform(-0.1, 0.1, 11)},
          {{1}, constant(2)}, {{2, kNodes}, g}},
         {{2, kNodes}, {kEdges}}},
        {MIRELON_KERNEL(edge_lengths_fwd), {{{kNodes, 2}, coords}, {{kEdges, 2}, index_below(kNodes, 10)}},
         {{kEdges}}},
    };
    return c;
  }();
  return cases;
}

size_t count_of(const Dims& dims) {
  size_t n = 1;
  for (int64_t d : dims) n *= static_cast<size_t>(d);
  return n;
}

// One case's inputs in the element type, shared read-only by every caller.
template <typename T>
struct Prepared {
  const KernelCase* c;
  std::vector<std::vector<T>> inputs;
  std::vector<KernelBuffer> records;

  explicit Prepared(const KernelCase& kc) : c(&kc) {
    for (const Operand& op : kc.inputs) {
      std::vector<T> v(count_of(op.dims));
      for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<T>(op.values(i));
      inputs.push_back(std::move(v));
    }
    for (size_t k = 0; k < inputs.size(); ++k)
      records.push_back({kc.inputs[k].dims, inputs[k].data(), sizeof(T) == 4 ? 11 : 12});
  }

  // Runs the kernel into fresh, exactly sized outputs; the message on failure.
  std::vector<std::vector<T>> run(std::string& error) const {
    std::vector<std::vector<T>> outputs;
    std::vector<KernelBuffer> out;
    for (const Dims& d : c->outputs) outputs.emplace_back(count_of(d), T(-7.25));
    for (size_t k = 0; k < outputs.size(); ++k)
      out.push_back({c->outputs[k], outputs[k].data(), sizeof(T) == 4 ? 11 : 12});
    KernelResult r;
    (sizeof(T) == 4 ? c->f32 : c->f64)(r, records.data(), records.size(), out.data(), out.size());
    if (!r.ok) error = std::string(c->name) + ": " + r.message;
    return outputs;
  }
};

// Equal bits element by element; any NaN matches any NaN.
template <typename T>
bool same_results(const std::vector<std::vector<T>>& a, const std::vector<std::vector<T>>& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k].size() != b[k].size()) return false;
    for (size_t i = 0; i < a[k].size(); ++i) {
      if (std::isnan(a[k][i]) && std::isnan(b[k][i])) continue;
      if (std::memcmp(&a[k][i], &b[k][i], sizeof(T)) != 0) return false;
    }
  }
  return true;
}

template <typename T>
class ConcurrentKernels : public ::testing::Test {};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ConcurrentKernels, ElementTypes);

TYPED_TEST(ConcurrentKernels, ManyCallersAtOnceGetTheBitsOfOneCallerAlone) {
  using T = TypeParam;
  constexpr size_t kCallers = 8, kRounds = 2;
  std::vector<Prepared<T>> prepared;
  for (const KernelCase& c : pool_kernels()) prepared.emplace_back(c);
  std::vector<std::vector<std::vector<T>>> want;
  for (const Prepared<T>& p : prepared) {
    std::string error;
    want.push_back(p.run(error));
    ASSERT_EQ(error, "");
  }

  // Each caller walks the kernels from its own starting point, so that different kernels (and
  // the same one) overlap.
  std::vector<std::string> failures(kCallers);
  std::vector<std::thread> callers;
  for (size_t t = 0; t < kCallers; ++t) {
    callers.emplace_back([&, t] {
      for (size_t step = 0; step < kRounds * prepared.size(); ++step) {
        const size_t k = (t * 5 + step) % prepared.size();
        std::string error;
        const auto got = prepared[k].run(error);
        if (!error.empty() || !same_results(got, want[k])) {
          failures[t] = error.empty() ? std::string(prepared[k].c->name) + " differs" : error;
          return;
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  for (const std::string& f : failures) EXPECT_EQ(f, "");
}

}  // namespace
}  // namespace mirelon
