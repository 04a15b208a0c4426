// The target table and the handler entries: counts, element types, stages and error returns of
// every one of the 108 entries, independent of which kernels are built.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "frame_builder.hpp"
#include "handlers.hpp"

namespace mirelon {
namespace {

using namespace test_support;

struct Target {
  const char* name;
  size_t inputs;
  size_t outputs;
};

// The published order of the targets with their exact operand counts.
const Target kExpected[] = {
    {"mirelon_points_closest_hard_fwd", 2, 2},
    {"mirelon_points_closest_hard_vjp", 4, 2},
    {"mirelon_points_closest_soft_fwd", 3, 1},
    {"mirelon_points_closest_soft_vjp", 4, 2},
    {"mirelon_polygon_sd_fwd", 2, 3},
    {"mirelon_polygon_sd_vjp", 5, 2},
    {"mirelon_polygon_area_fwd", 1, 1},
    {"mirelon_polygon_area_vjp", 2, 1},
    {"mirelon_field_interp_fwd", 4, 1},
    {"mirelon_field_interp_vjp", 5, 2},
    {"mirelon_logp_gaussian_fwd", 3, 1},
    {"mirelon_logp_gaussian_vjp", 4, 3},
    {"mirelon_logp_weibull_fwd", 3, 1},
    {"mirelon_logp_weibull_vjp", 4, 3},
    {"mirelon_logp_lognormal_fwd", 3, 1},
    {"mirelon_logp_lognormal_vjp", 4, 3},
    {"mirelon_logp_gumbel_fwd", 3, 1},
    {"mirelon_logp_gumbel_vjp", 4, 3},
    {"mirelon_logp_exponential_fwd", 2, 1},
    {"mirelon_logp_exponential_vjp", 3, 2},
    {"mirelon_pwl_fwd", 3, 1},
    {"mirelon_pwl_vjp", 4, 1},
    {"mirelon_ellipse_sd_fwd", 4, 1},
    {"mirelon_ellipse_sd_vjp", 5, 4},
    {"mirelon_halfspace_sd_fwd", 4, 1},
    {"mirelon_halfspace_sd_vjp", 5, 3},
    {"mirelon_ray_matrix_fwd", 3, 1},
    {"mirelon_ray_matrix_vjp", 4, 3},
    {"mirelon_segments_closest_fwd", 2, 3},
    {"mirelon_segments_closest_vjp", 5, 2},
    {"mirelon_segments_length_fwd", 1, 1},
    {"mirelon_segments_length_vjp", 2, 1},
    {"mirelon_polygon_perimeter_fwd", 1, 1},
    {"mirelon_polygon_perimeter_vjp", 2, 1},
    {"mirelon_logp_gamma_fwd", 3, 1},
    {"mirelon_logp_gamma_vjp", 4, 3},
    {"mirelon_logp_beta_fwd", 3, 1},
    {"mirelon_logp_beta_vjp", 4, 3},
    {"mirelon_logp_uniform_fwd", 3, 1},
    {"mirelon_logp_uniform_vjp", 4, 3},
    {"mirelon_logp_vonmises_fwd", 3, 1},
    {"mirelon_logp_vonmises_vjp", 4, 3},
    {"mirelon_logp_wrapped_gaussian_fwd", 3, 1},
    {"mirelon_logp_wrapped_gaussian_vjp", 4, 3},
    {"mirelon_q_gaussian_fwd", 3, 1},
    {"mirelon_q_gaussian_vjp", 4, 3},
    {"mirelon_q_weibull_fwd", 3, 1},
    {"mirelon_q_weibull_vjp", 4, 3},
    {"mirelon_q_gumbel_fwd", 3, 1},
    {"mirelon_q_gumbel_vjp", 4, 3},
    {"mirelon_q_uniform_fwd", 3, 1},
    {"mirelon_q_uniform_vjp", 4, 3},
    {"mirelon_q_lognormal_fwd", 3, 1},
    {"mirelon_q_lognormal_vjp", 4, 3},
    {"mirelon_q_exponential_fwd", 2, 1},
    {"mirelon_q_exponential_vjp", 3, 2},
    {"mirelon_cdf_gaussian_fwd", 3, 1},
    {"mirelon_cdf_gaussian_vjp", 4, 3},
    {"mirelon_cdf_weibull_fwd", 3, 1},
    {"mirelon_cdf_weibull_vjp", 4, 3},
    {"mirelon_cdf_gumbel_fwd", 3, 1},
    {"mirelon_cdf_gumbel_vjp", 4, 3},
    {"mirelon_cdf_uniform_fwd", 3, 1},
    {"mirelon_cdf_uniform_vjp", 4, 3},
    {"mirelon_cdf_lognormal_fwd", 3, 1},
    {"mirelon_cdf_lognormal_vjp", 4, 3},
    {"mirelon_cdf_exponential_fwd", 2, 1},
    {"mirelon_cdf_exponential_vjp", 3, 2},
    {"mirelon_mvn_logp_fwd", 3, 1},
    {"mirelon_mvn_logp_vjp", 4, 3},
    {"mirelon_mixture_fwd", 2, 1},
    {"mirelon_mixture_vjp", 3, 2},
    {"mirelon_kde_fwd", 3, 1},
    {"mirelon_kde_vjp", 4, 2},
    {"mirelon_histogram_fwd", 3, 1},
    {"mirelon_histogram_vjp", 4, 1},
    {"mirelon_copula_fwd", 2, 1},
    {"mirelon_copula_vjp", 3, 2},
    {"mirelon_corr_chol_fwd", 1, 1},
    {"mirelon_corr_chol_vjp", 2, 1},
    {"mirelon_vonmises_sample", 3, 1},
    {"mirelon_vonmises_sample_bwd", 4, 2},
    {"mirelon_pairwise_fwd", 2, 1},
    {"mirelon_pairwise_vjp", 3, 2},
    {"mirelon_row_reduce_fwd", 4, 1},
    {"mirelon_row_reduce_vjp", 5, 2},
    {"mirelon_segments_matrix_fwd", 2, 1},
    {"mirelon_segments_matrix_vjp", 3, 2},
    {"mirelon_decay_fwd", 3, 1},
    {"mirelon_decay_vjp", 4, 2},
    {"mirelon_logistic_fwd", 4, 1},
    {"mirelon_logistic_vjp", 5, 4},
    {"mirelon_periodic_fwd", 5, 1},
    {"mirelon_periodic_vjp", 5, 4},
    {"mirelon_table2d_fwd", 5, 1},
    {"mirelon_table2d_vjp", 6, 3},
    {"mirelon_volume_mc", 4, 1},
    {"mirelon_volume_mc_vjp", 5, 2},
    {"mirelon_edge_lengths_fwd", 2, 1},
    {"mirelon_edge_lengths_vjp", 3, 1},
    {"mirelon_cascade_fwd", 4, 1},
    {"mirelon_cascade_vjp", 5, 2},
    {"mirelon_field3_interp_fwd", 4, 1},
    {"mirelon_field3_interp_vjp", 5, 2},
    {"mirelon_mesh_interp_fwd", 4, 3},
    {"mirelon_mesh_interp_vjp", 6, 2},
    {"mirelon_boundary_point_at_fwd", 3, 3},
    {"mirelon_boundary_point_at_vjp", 6, 2},
};

static_assert(std::size(kExpected) == 108);

constexpr unsigned char kFill = 0xab;

bool untouched(const TestBuffer& b) {
  return std::all_of(b.storage.get(), b.storage.get() + b.bytes,
                     [](unsigned char c) { return c == kFill; });
}

void add_operands(FrameBuilder& fb, size_t n_in, int32_t in_dtype, size_t n_out,
                  int32_t out_dtype) {
  for (size_t i = 0; i < n_in; ++i) fb.arg(in_dtype, {3}, kFill);
  for (size_t i = 0; i < n_out; ++i) fb.ret(out_dtype, {3}, kFill);
}

std::string count_message(const Target& t, size_t got_in, size_t got_out) {
  return std::string(t.name) + ": expected " + std::to_string(t.inputs) + " inputs / " +
         std::to_string(t.outputs) + " outputs, got " + std::to_string(got_in) + " / " +
         std::to_string(got_out);
}

TEST(TargetTable, ListsEveryTargetInItsFixedOrder) {
  ASSERT_EQ(kTargetCount, 108u);
  EXPECT_EQ(kTargetTable[0].name_view(), "mirelon_points_closest_hard_fwd");
  EXPECT_EQ(kTargetTable[107].name_view(), "mirelon_boundary_point_at_vjp");
  std::set<std::string_view> names;
  std::set<xla::XLA_FFI_Handler*> handlers;
  for (size_t i = 0; i < kTargetCount; ++i) {
    const TargetRow& row = kTargetTable[i];
    const std::string_view name = row.name_view();
    EXPECT_EQ(name, kExpected[i].name) << "row " << i;
    EXPECT_EQ(row.name_len, std::strlen(kExpected[i].name)) << "row " << i;
    EXPECT_TRUE(name.starts_with("mirelon_") && name.size() > 8) << name;
    EXPECT_TRUE(std::all_of(name.begin(), name.end(),
                            [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                                c == '_'; }))
        << name;
    EXPECT_NE(row.handler, nullptr) << name;
    names.insert(name);
    handlers.insert(row.handler);
  }
  EXPECT_EQ(names.size(), kTargetCount);
  EXPECT_EQ(handlers.size(), kTargetCount);
}

class ByElementType : public ::testing::TestWithParam<int32_t> {};

TEST(AllEntries, ReportsItsExactCountsWithoutTouchingOutputs) {
  for (size_t i = 0; i < kTargetCount; ++i) {
    const Target& t = kExpected[i];
    SCOPED_TRACE(t.name);
    // (inputs, outputs) pairs around the expected counts, each one wrong.
    const size_t shapes[][2] = {{0, 0}, {t.inputs - 1, t.outputs}, {t.inputs + 1, t.outputs},
                                {t.inputs, t.outputs - 1}, {t.inputs, t.outputs + 1},
                                {t.outputs, t.inputs + 1}};
    for (const auto& s : shapes) {
      if (s[0] == t.inputs && s[1] == t.outputs) continue;
      FakeApi api;
      FrameBuilder fb(&api);
      // Element types disagree too: the count check comes first.
      add_operands(fb, s[0], kF32, s[1], kF64);
      xla::XLA_FFI_Error* err = kTargetTable[i].handler(fb.frame());
      ASSERT_EQ(api.calls().size(), 1u);
      EXPECT_EQ(api.calls()[0].message, count_message(t, s[0], s[1]));
      EXPECT_EQ(api.calls()[0].errc, 3);
      EXPECT_EQ(err, api.calls()[0].returned);
      for (auto& r : fb.rets()) EXPECT_TRUE(untouched(*r));
    }
  }
}

TEST(AllEntries, AnswersMetadataAndSkipsOtherStagesWhateverTheOperands) {
  for (size_t i = 0; i < kTargetCount; ++i) {
    const Target& t = kExpected[i];
    SCOPED_TRACE(t.name);
    FakeApi api;
    {
      xla::XLA_FFI_Metadata md{};
      FrameBuilder fb;  // no api table at all
      fb.metadata(&md);
      add_operands(fb, t.inputs + 2, kF64, 0, kF64);
      EXPECT_EQ(kTargetTable[i].handler(fb.frame()), nullptr);
      EXPECT_EQ(md.api_version.major_version, 0);
      EXPECT_EQ(md.api_version.minor_version, 3);
      EXPECT_EQ(md.traits, 0u);
    }
    for (int32_t stage : {0, 1, 2}) {
      FrameBuilder fb(&api);
      fb.stage(stage);
      add_operands(fb, 1, kF32, t.outputs + 1, kF64);
      EXPECT_EQ(kTargetTable[i].handler(fb.frame()), nullptr);
      for (auto& r : fb.rets()) EXPECT_TRUE(untouched(*r));
    }
    EXPECT_TRUE(api.calls().empty());
  }
}

struct DtypeCase {
  int32_t in, out;
  int32_t odd_input;  // code of the last input, or 0 to keep `in`
  const char* message;
};

class EntryDtypes : public ::testing::TestWithParam<DtypeCase> {};

TEST_P(EntryDtypes, AreCheckedBeforeTheKernelRuns) {
  const DtypeCase& c = GetParam();
  for (size_t i = 0; i < kTargetCount; ++i) {
    const Target& t = kExpected[i];
    SCOPED_TRACE(t.name);
    FakeApi api;
    FrameBuilder fb(&api);
    for (size_t k = 0; k < t.inputs; ++k)
      fb.arg(k + 1 == t.inputs && c.odd_input != 0 ? c.odd_input : c.in, {3}, kFill);
    for (size_t k = 0; k < t.outputs; ++k) fb.ret(c.out, {3}, kFill);
    xla::XLA_FFI_Error* err = kTargetTable[i].handler(fb.frame());
    ASSERT_EQ(api.calls().size(), 1u);
    EXPECT_EQ(api.calls()[0].message, c.message);
    EXPECT_EQ(api.calls()[0].errc, 3);
    EXPECT_EQ(err, api.calls()[0].returned);
    for (auto& r : fb.rets()) EXPECT_TRUE(untouched(*r));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Mismatches, EntryDtypes,
    ::testing::Values(
        DtypeCase{kF32, kF64, 0,
                  "mixed buffer dtypes (11 vs 12); all mirelon kernel operands must match"},
        DtypeCase{kF64, kF32, 0,
                  "mixed buffer dtypes (12 vs 11); all mirelon kernel operands must match"},
        DtypeCase{kF64, kF64, 7, "unsupported buffer dtype 7"},
        DtypeCase{5, 5, 0, "unsupported buffer dtype 5"}));

// Operands that no buffer can hold never reach a kernel, whichever operand it is: extents whose
// exact product leaves the 64-bit range wrap to any count at all ((2^32 + 1)^2 wraps to
// 2^33 + 1), and 2^61 elements are 2^63 bytes in f32, one past PTRDIFF_MAX, and wrap to 0 bytes
// in f64.
struct OversizedCase {
  std::vector<int64_t> dims;
  const char* excess;
};

class OversizedOperand : public ::testing::TestWithParam<std::tuple<OversizedCase, int32_t>> {};

TEST_P(OversizedOperand, IsRejectedBeforeTheKernelRuns) {
  const auto& [c, dtype] = GetParam();
  std::vector<int64_t> dims = c.dims;
  for (size_t i = 0; i < kTargetCount; ++i) {
    const Target& t = kExpected[i];
    SCOPED_TRACE(t.name);
    for (size_t odd : {size_t{0}, t.inputs}) {  // the first input, then the first output
      FakeApi api;
      FrameBuilder fb(&api);
      add_operands(fb, t.inputs, dtype, t.outputs, dtype);
      TestBuffer& b = odd < t.inputs ? *fb.args()[odd] : *fb.rets()[0];
      b.record.rank = static_cast<int64_t>(dims.size());
      b.record.dims = dims.data();
      xla::XLA_FFI_Error* err = kTargetTable[i].handler(fb.frame());
      ASSERT_EQ(api.calls().size(), 1u);
      EXPECT_EQ(err, api.calls()[0].returned);
      EXPECT_EQ(api.calls()[0].message,
                std::string(t.name) + (odd < t.inputs ? ": the extents of input 0" : ": the extents of output 0") +
                    c.excess);
      for (auto& r : fb.rets()) EXPECT_TRUE(untouched(*r));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OversizedOperand,
    ::testing::Combine(
        ::testing::Values(OversizedCase{{(int64_t{1} << 32) + 1, (int64_t{1} << 32) + 1},
                                        " multiply to more elements than 64 bits can count"},
                          OversizedCase{{int64_t{1} << 61}, " multiply to more bytes than one buffer can hold"}),
        ::testing::Values(kF32, kF64)));

TEST(KdeEntry, CountMessagesNameTheTargetAndBothCounts) {
  xla::XLA_FFI_Handler* kde = find_handler("mirelon_kde_fwd");
  ASSERT_NE(kde, nullptr);
  const std::pair<size_t, size_t> shapes[] = {{2, 1}, {3, 0}};
  const char* const expected[] = {"mirelon_kde_fwd: expected 3 inputs / 1 outputs, got 2 / 1",
                                  "mirelon_kde_fwd: expected 3 inputs / 1 outputs, got 3 / 0"};
  for (size_t k = 0; k < 2; ++k) {
    FakeApi api;
    FrameBuilder fb(&api);
    add_operands(fb, shapes[k].first, kF64, shapes[k].second, kF64);
    kde(fb.frame());
    ASSERT_EQ(api.calls().size(), 1u);
    EXPECT_EQ(api.calls()[0].message, expected[k]);
  }
}

TEST(CorrCholEntry, CountMessageKeepsPluralWordsForOne) {
  FakeApi api;
  FrameBuilder fb(&api);
  find_handler("mirelon_corr_chol_fwd")(fb.frame());
  ASSERT_EQ(api.calls().size(), 1u);
  EXPECT_EQ(api.calls()[0].message, "mirelon_corr_chol_fwd: expected 1 inputs / 1 outputs, got 0 / 0");
}

TEST(KdeEntry, NegativeOperandCountsAreReportedAsZero) {
  FakeApi api;
  FrameBuilder fb(&api);
  xla::XLA_FFI_CallFrame* frame = fb.frame();
  frame->args.size = -1;
  frame->rets.size = -2;
  find_handler("mirelon_kde_fwd")(frame);
  ASSERT_EQ(api.calls().size(), 1u);
  EXPECT_EQ(api.calls()[0].message, "mirelon_kde_fwd: expected 3 inputs / 1 outputs, got 0 / 0");
}

TEST_P(ByElementType, KernelFailureIsAnInvalidArgumentError) {
  FakeApi api;
  FrameBuilder fb(&api);
  add_operands(fb, 4, GetParam(), 1, GetParam());  // field3 values of rank 1
  find_handler("mirelon_field3_interp_fwd")(fb.frame());
  ASSERT_EQ(api.calls().size(), 1u);
  EXPECT_EQ(api.calls()[0].message, "field3 values buffer must be at least rank 3");
  EXPECT_EQ(api.calls()[0].errc, 3);
}

// Inputs hold 0, 0.5, 1, 0, 0.5, ...: small values that are valid as indices, counts and
// parameters alike for every kernel.
void fill_inputs(TestBuffer& b, int32_t dtype) {
  const size_t n = b.bytes / (dtype == kF32 ? 4 : 8);
  for (size_t i = 0; i < n; ++i) {
    const double v = 0.5 * static_cast<double>(i % 3);
    if (dtype == kF32) {
      b.as<float>()[i] = static_cast<float>(v);
    } else {
      b.as<double>()[i] = v;
    }
  }
}

// Whatever a kernel makes of them, operands of no elements (null data), of one element (rank 0)
// and outputs smaller than the inputs must give success or an error with a message, and never
// an access outside the operands (which the sanitizer build reports).
TEST_P(ByElementType, EveryEntryStaysInsideItsOperands) {
  const int32_t dtype = GetParam();
  using Dims = std::vector<int64_t>;
  const std::pair<Dims, Dims> shapes[] = {
      {{0}, {0}},       {{}, {}},       {{0, 2}, {0, 2}}, {{1, 1}, {1, 1}}, {{2, 2}, {2, 2}},
      {{4}, {1}},       {{2, 3}, {2}},  {{3, 2}, {0}},    {{5}, {}},        {{3, 4}, {3, 1}},
      {{2, 3, 2}, {2}}, {{1}, {4, 2}}};
  for (const auto& [in_dims, out_dims] : shapes) {
    for (size_t i = 0; i < kTargetCount; ++i) {
      const Target& t = kExpected[i];
      SCOPED_TRACE(::testing::Message() << t.name << " inputs rank " << in_dims.size()
                                        << " outputs rank " << out_dims.size());
      FakeApi api;
      FrameBuilder fb(&api);
      for (size_t k = 0; k < t.inputs; ++k) fill_inputs(fb.arg(dtype, in_dims), dtype);
      for (size_t k = 0; k < t.outputs; ++k) fb.ret(dtype, out_dims, kFill);
      xla::XLA_FFI_Error* err = kTargetTable[i].handler(fb.frame());
      if (err == nullptr) {
        EXPECT_TRUE(api.calls().empty());
      } else {
        ASSERT_EQ(api.calls().size(), 1u);
        EXPECT_EQ(err, api.calls()[0].returned);
        EXPECT_EQ(api.calls()[0].errc, 3);
        EXPECT_FALSE(api.calls()[0].message.empty());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ElementTypes, ByElementType, ::testing::Values(kF32, kF64),
                         [](const auto& info) { return info.param == kF32 ? "f32" : "f64"; });

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Copying extents that cannot be allocated fails inside the entry; the host still gets an
// ordinary error back instead of an exception crossing the handler.
TEST(Entries, AFailureInsideTheEntryIsReturnedAsAnError) {
  FakeApi api;
  FrameBuilder fb(&api);
  add_operands(fb, 3, kF64, 1, kF64);
  xla::XLA_FFI_CallFrame* frame = fb.frame();
  fb.args()[0]->record.rank = int64_t{1} << 57;  // 2^60 bytes of extents
  xla::XLA_FFI_Error* err = find_handler("mirelon_logp_gaussian_fwd")(frame);
  ASSERT_EQ(api.calls().size(), 1u);
  EXPECT_EQ(api.calls()[0].errc, 3);
  EXPECT_FALSE(api.calls()[0].message.empty());
  EXPECT_EQ(err, api.calls()[0].returned);
  EXPECT_TRUE(untouched(*fb.rets()[0]));
}
#endif

TEST(Entries, RunConcurrentlyEachWithItsOwnResult) {
  constexpr int kThreads = 8;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      FakeApi api;
      for (int round = 0; round < 50; ++round) {
        const size_t i = static_cast<size_t>(t * 13 + round) % kTargetCount;
        const Target& target = kExpected[i];
        FrameBuilder fb(&api);
        const size_t got = static_cast<size_t>(round % 7);
        add_operands(fb, got, kF64, target.outputs + 1, kF64);
        api.clear();
        kTargetTable[i].handler(fb.frame());
        const std::string want = count_message(target, got, target.outputs + 1);
        if (api.calls().size() != 1 || api.calls()[0].message != want) {
          failures[t] = want;
          return;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& f : failures) EXPECT_EQ(f, "");
}

}  // namespace
}  // namespace mirelon
