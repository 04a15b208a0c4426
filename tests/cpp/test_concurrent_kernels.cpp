// Every kernel that runs a loop on the pool, called through its handler entry from many host
// threads at once: each call gives the bits of the same call made alone. The closest-point and
// polygon kernels go through the hierarchy cache over more reference sets than it keeps, so
// entries are dropped while other threads query them. The ThreadSanitizer build runs this too;
// sizes are small, but every loop has enough items to split across the workers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame_builder.hpp"
#include "kernel_call.hpp"

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

// `base` with the values at some indices replaced.
Values with(Values base, std::vector<std::pair<size_t, double>> at) {
  return [=](size_t i) {
    for (const auto& [index, value] : at)
      if (i == index) return value;
    return base(i);
  };
}

struct Operand {
  Dims dims;
  Values values;
};

struct KernelCase {
  const char* target;
  std::vector<Operand> inputs;
  std::vector<Dims> outputs;
  // The message every call must fail with; its outputs are then left uncompared.
  const char* error = nullptr;
};

// A graph whose edge list is long enough to be checked, measured and propagated on the pool.
constexpr int64_t kNodes = 256;
constexpr int64_t kEdges = int64_t{1} << 16;

// Every kernel with a loop on the pool, on valid operands.
const std::vector<KernelCase>& pool_kernels() {
  static const std::vector<KernelCase> cases = [] {
    const Values x = uniform(-3.0, 3.0, 1);
    const Values pos = uniform(0.2, 2.5, 2);
    const Values prob = uniform(0.01, 0.99, 3);
    const Values angle = uniform(-3.0, 3.0, 4);
    const Values loc = uniform(-1.0, 1.0, 5);
    const Values xy = uniform(-5.0, 5.0, 6);
    const Values ref = uniform(-5.0, 5.0, 7);
    const Values g = uniform(-1.0, 1.0, 8);
    const Values edges = index_below(kNodes, 10);
    const Values weights = uniform(-0.1, 0.1, 11);
    const Values factor = lower_factor(3);
    const int64_t n = 512;
    return std::vector<KernelCase>{
        // Univariate densities and distribution functions, one-value and per-element parameters.
        {"mirelon_logp_gaussian_fwd", {{{n}, x}, {{n}, loc}, {{1}, pos}}, {{n}}},
        {"mirelon_logp_lognormal_fwd", {{{n}, pos}, {{1}, loc}, {{n}, pos}}, {{n}}},
        {"mirelon_logp_exponential_fwd", {{{n}, pos}, {{1}, pos}}, {{n}}},
        {"mirelon_logp_uniform_fwd", {{{n}, x}, {{1}, constant(-2)}, {{1}, constant(2)}}, {{n}}},
        {"mirelon_logp_weibull_fwd", {{{n}, pos}, {{n}, pos}, {{1}, pos}}, {{n}}},
        {"mirelon_logp_gumbel_fwd", {{{n}, x}, {{1}, loc}, {{1}, pos}}, {{n}}},
        {"mirelon_logp_beta_fwd", {{{n}, prob}, {{n}, pos}, {{1}, pos}}, {{n}}},
        {"mirelon_logp_gamma_fwd", {{{n}, pos}, {{1}, pos}, {{n}, pos}}, {{n}}},
        {"mirelon_logp_vonmises_fwd", {{{n}, angle}, {{1}, loc}, {{n}, pos}}, {{n}}},
        {"mirelon_logp_wrapped_gaussian_fwd", {{{n}, angle}, {{n}, loc}, {{1}, pos}}, {{n}}},
        {"mirelon_cdf_gaussian_fwd", {{{n}, x}, {{1}, loc}, {{n}, pos}}, {{n}}},
        {"mirelon_cdf_lognormal_fwd", {{{n}, pos}, {{n}, loc}, {{1}, pos}}, {{n}}},
        {"mirelon_cdf_exponential_fwd", {{{n}, pos}, {{n}, pos}}, {{n}}},
        {"mirelon_cdf_uniform_fwd", {{{n}, x}, {{1}, constant(-2)}, {{n}, pos}}, {{n}}},
        {"mirelon_cdf_weibull_fwd", {{{n}, pos}, {{1}, pos}, {{1}, pos}}, {{n}}},
        {"mirelon_cdf_gumbel_fwd", {{{n}, x}, {{n}, loc}, {{n}, pos}}, {{n}}},
        // Multivariate densities and the sampler.
        {"mirelon_kde_fwd", {{{64}, x}, {{64}, loc}, {{1}, constant(0.4)}}, {{64}}},
        {"mirelon_mixture_fwd", {{{256, 4}, x}, {{4}, loc}}, {{256}}},
        {"mirelon_histogram_fwd", {{{256}, x}, {{9}, ramp(-3.0, 0.75)}, {{8}, pos}}, {{256}}},
        {"mirelon_mvn_logp_fwd", {{{128, 3}, x}, {{3}, loc}, {{3, 3}, factor}}, {{128}}},
        {"mirelon_mvn_logp_vjp", {{{128, 3}, x}, {{3}, loc}, {{3, 3}, factor}, {{128}, g}},
         {{128, 3}, {3}, {3, 3}}},
        {"mirelon_copula_fwd", {{{64, 3}, prob}, {{3}, loc}}, {{64}}},
        {"mirelon_copula_vjp", {{{64, 3}, prob}, {{3}, loc}, {{64}, g}}, {{64, 3}, {3}}},
        {"mirelon_vonmises_sample", {{{128 * 2 * 3}, prob}, {{1}, loc}, {{128}, pos}}, {{128}}},
        // Geometry; 70 reference sets in one call are more than a cache map keeps.
        {"mirelon_points_closest_hard_fwd", {{{70, 4, 2}, xy}, {{70, 10, 2}, ref}},
         {{70, 4}, {70, 4}}},
        {"mirelon_polygon_sd_fwd", {{{70, 4, 2}, xy}, {{70, 6, 2}, ref}},
         {{70, 4}, {70, 4}, {70, 4}}},
        {"mirelon_segments_closest_fwd", {{{2, 64, 2}, xy}, {{2, 10, 4}, ref}},
         {{2, 64}, {2, 64}, {2, 64}}},
        {"mirelon_points_closest_soft_fwd",
         {{{2, 64, 2}, xy}, {{1, 40, 2}, ref}, {{2}, uniform(0.0, 1.0, 9)}}, {{2, 64}}},
        {"mirelon_pairwise_fwd", {{{1, 48, 2}, xy}, {{1, 40, 2}, ref}}, {{1, 48, 40}}},
        {"mirelon_row_reduce_fwd",
         {{{1, 64, 2}, xy}, {{1, 40, 2}, ref}, {{1}, constant(0.5)}, {{1}, constant(1)}},
         {{1, 64}}},
        {"mirelon_segments_matrix_fwd", {{{1, 64, 2}, xy}, {{1, 8, 4}, ref}}, {{1, 64, 8}}},
        {"mirelon_ellipse_sd_fwd", {{{2, 64, 2}, xy}, {{2, 2}, loc}, {{2, 2}, pos}, {{2}, angle}},
         {{2, 64}}},
        {"mirelon_halfspace_sd_fwd",
         {{{2, 64, 3}, xy}, {{1, 5, 3}, ref}, {{2, 5}, pos}, {{2}, ramp(0.0, 0.5)}}, {{2, 64}}},
        {"mirelon_halfspace_sd_vjp",
         {{{2, 64, 3}, xy}, {{1, 5, 3}, ref}, {{2, 5}, pos}, {{2}, ramp(0.0, 0.5)}, {{2, 64}, g}},
         {{2, 64, 3}, {1, 5, 3}, {2, 5}}},
        {"mirelon_ray_matrix_fwd", {{{2, 32, 3}, xy}, {{2, 6, 3}, ref}, {{2, 6, 3}, loc}},
         {{2, 32, 6}}},
        {"mirelon_cascade_fwd",
         {{{1, kNodes}, x}, {{kEdges, 2}, edges}, {{kEdges}, weights}, {{1}, constant(1)}},
         {{1, kNodes}}},
        {"mirelon_cascade_vjp",
         {{{1, kNodes}, x}, {{kEdges, 2}, edges}, {{kEdges}, weights}, {{1}, constant(1)},
          {{1, kNodes}, g}},
         {{1, kNodes}, {kEdges}}},
        {"mirelon_edge_lengths_fwd", {{{kNodes, 2}, xy}, {{kEdges, 2}, edges}}, {{kEdges}}},
        // Grids and meshes: points in pieces of 4096, queries in pieces of 2^16 triangle tests;
        // the grid pieces cross from one batch into the next.
        {"mirelon_field_interp_fwd",
         {{{2, 9, 11}, x}, {{2, 6144, 2}, uniform(-1.0, 12.0, 12)}, {{2}, constant(-0.5)},
          {{2}, constant(1.25)}},
         {{2, 6144}}},
        {"mirelon_field3_interp_fwd",
         {{{2, 4, 5, 6}, x}, {{2, 6144, 3}, uniform(-1.0, 7.0, 13)}, {{3}, constant(-0.5)},
          {{3}, constant(1.25)}},
         {{2, 6144}}},
        {"mirelon_mesh_interp_fwd",
         {{{64, 2}, xy}, {{1024, 3}, index_below(64, 14)}, {{64}, loc}, {{192, 2}, xy}},
         {{192}, {192}, {3, 192}}},
        // Failures met by several pieces at once: every call reports the earliest.
        {"mirelon_edge_lengths_fwd",
         {{{kNodes, 2}, xy},
          {{kEdges, 2}, with(edges, {{80000, 17}, {80001, 300}, {100000, -1}})}},
         {{kEdges}},
         "edge 40000 references node (17, 300) outside 0..256"},
        {"mirelon_mesh_interp_fwd",
         {{{64, 2}, xy}, {{1024, 3}, with(index_below(64, 14), {{3071, 64}})}, {{64}, loc},
          {{192, 2}, xy}},
         {{192}, {192}, {3, 192}},
         "triangle 1023 references vertex 64 outside 0..64"},
    };
  }();
  return cases;
}

// One case's inputs in the element type, made once and shared by every caller.
template <typename T>
struct Prepared {
  const KernelCase* c;
  xla::XLA_FFI_Handler* handler;
  std::vector<std::vector<T>> inputs;

  explicit Prepared(const KernelCase& kc) : c(&kc), handler(test_support::find_handler(kc.target)) {
    for (const Operand& op : kc.inputs) {
      std::vector<T> v(test_support::elements(op.dims));
      for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<T>(op.values(i));
      inputs.push_back(std::move(v));
    }
  }

  // The text run() must report: "" for success.
  std::string expected_error() const {
    return c->error ? std::string(c->target) + ": " + c->error : "";
  }

  // Calls the handler on a frame of its own with exactly sized outputs; the message on failure.
  std::vector<std::vector<T>> run(std::string& error) const {
    test_support::FakeApi api;
    test_support::FrameBuilder fb(&api);
    for (size_t k = 0; k < inputs.size(); ++k) fb.arg_values(inputs[k], c->inputs[k].dims);
    for (const Dims& d : c->outputs)
      fb.ret(sizeof(T) == 4 ? test_support::kF32 : test_support::kF64, d, 0x5a);
    handler(fb.frame());
    if (!api.calls().empty()) error = std::string(c->target) + ": " + api.calls()[0].message;
    std::vector<std::vector<T>> outputs;
    for (const auto& out : fb.rets()) outputs.push_back(out->values<T>());
    return outputs;
  }
};

// Equal bits element by element; any NaN matches any NaN.
template <typename T>
bool same_results(const std::vector<std::vector<T>>& a, const std::vector<std::vector<T>>& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k].size() != b[k].size() ||
        test_support::first_difference_but_nan(a[k], b[k]) != a[k].size())
      return false;
  }
  return true;
}

template <typename T>
class ConcurrentKernels : public ::testing::Test {};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ConcurrentKernels, ElementTypes);

TYPED_TEST(ConcurrentKernels, ManyCallersAtOnceGetTheBitsOfOneCallerAlone) {
  using T = TypeParam;
  constexpr size_t kCallers = 8;
  std::vector<Prepared<T>> prepared;
  for (const KernelCase& c : pool_kernels()) prepared.emplace_back(c);
  std::vector<std::vector<std::vector<T>>> want;
  for (const Prepared<T>& p : prepared) {
    ASSERT_NE(p.handler, nullptr) << p.c->target;
    std::string error;
    want.push_back(p.run(error));
    ASSERT_EQ(error, p.expected_error());
  }

  // Callers walk the kernels in pairs, each pair from its own starting point, so that both the
  // same kernel and different kernels run at once.
  std::vector<std::string> failures(kCallers);
  std::vector<std::thread> callers;
  for (size_t t = 0; t < kCallers; ++t) {
    callers.emplace_back([&, t] {
      for (size_t step = 0; step < prepared.size(); ++step) {
        const size_t k = (t / 2 * prepared.size() / (kCallers / 2) + step) % prepared.size();
        std::string error;
        const auto got = prepared[k].run(error);
        if (error != prepared[k].expected_error()) {
          failures[t] = prepared[k].c->target + std::string(" failed with: ") + error;
          return;
        }
        if (error.empty() && !same_results(got, want[k])) {
          failures[t] = prepared[k].c->target + std::string(" differs");
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
