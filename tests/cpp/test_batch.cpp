// Batch views of operands and the rule that combines batch counts.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "batch.hpp"

namespace mirelon {
namespace {

template <typename T>
class BatchViewTest : public ::testing::Test {};

using ElementTypes = ::testing::Types<float, double, const float, const double>;
TYPED_TEST_SUITE(BatchViewTest, ElementTypes);

template <typename T>
std::vector<std::remove_const_t<T>> iota(size_t n) {
  std::vector<std::remove_const_t<T>> v(n);
  std::iota(v.begin(), v.end(), std::remove_const_t<T>(0));
  return v;
}

TYPED_TEST(BatchViewTest, ZeroInnerSizeIsRejectedEvenWhenEmpty) {
  auto storage = iota<TypeParam>(4);
  for (size_t n : {size_t{0}, size_t{4}}) {
    BatchView<TypeParam> view;
    KernelResult r;
    EXPECT_FALSE(view.init(std::span<TypeParam>(storage.data(), n), 0, r));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "inner block size must be positive");
  }
}

TYPED_TEST(BatchViewTest, LengthMustBeAMultipleOfTheInnerSize) {
  auto storage = iota<TypeParam>(7);
  BatchView<TypeParam> view;
  KernelResult r;
  EXPECT_FALSE(view.init(std::span<TypeParam>(storage), 2, r));
  EXPECT_EQ(r.message, "buffer length 7 is not a multiple of inner size 2");

  KernelResult r2;
  EXPECT_FALSE(view.init(std::span<TypeParam>(storage.data(), 3), 8, r2));
  EXPECT_EQ(r2.message, "buffer length 3 is not a multiple of inner size 8");
}

TYPED_TEST(BatchViewTest, EmptyOperandHasNoBlocks) {
  BatchView<TypeParam> view;
  KernelResult r;
  ASSERT_TRUE(view.init(std::span<TypeParam>(), 3, r));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(view.batch_count(), 0u);
  EXPECT_EQ(view.inner(), 3u);
}

TYPED_TEST(BatchViewTest, BlocksFollowTheBatchIndex) {
  auto storage = iota<TypeParam>(10);
  BatchView<TypeParam> view;
  KernelResult r;
  ASSERT_TRUE(view.init(std::span<TypeParam>(storage), 2, r));
  EXPECT_EQ(view.batch_count(), 5u);
  for (size_t b = 0; b < 5; ++b) {
    auto block = view.block(b);
    ASSERT_EQ(block.size(), 2u);
    EXPECT_EQ(block.data(), storage.data() + 2 * b);
  }
}

TYPED_TEST(BatchViewTest, SingleBlockIsBroadcastToEveryItem) {
  auto storage = iota<TypeParam>(3);
  BatchView<TypeParam> view;
  KernelResult r;
  ASSERT_TRUE(view.init(std::span<TypeParam>(storage), 3, r));
  EXPECT_EQ(view.batch_count(), 1u);
  for (size_t b : {size_t{0}, size_t{3}, size_t{1000}}) {
    EXPECT_EQ(view.block(b).data(), storage.data());
    EXPECT_EQ(view.block(b).size(), 3u);
  }
}

TYPED_TEST(BatchViewTest, PerBatchScalarAppliesOneValueOrOnePerItem) {
  auto one = iota<TypeParam>(1);
  auto many = iota<TypeParam>(4);
  BatchView<TypeParam> shared, each;
  KernelResult r;
  ASSERT_TRUE(shared.init(std::span<TypeParam>(one), 1, r));
  ASSERT_TRUE(each.init(std::span<TypeParam>(many), 1, r));
  size_t common = 0;
  ASSERT_TRUE(unify_batch_counts({shared.batch_count(), each.batch_count()}, common, r));
  ASSERT_EQ(common, 4u);
  for (size_t b = 0; b < common; ++b) {
    EXPECT_EQ(shared.block(b)[0], 0);
    EXPECT_EQ(each.block(b)[0], static_cast<std::remove_const_t<TypeParam>>(b));
  }
}

TEST(BatchView, GradientOfABroadcastInputSumsEveryItem) {
  // Gradients laid out like inputs with counts 1 and 3; item b contributes b + 1 to each.
  std::vector<double> grad_shared(2, 0.0), grad_each(6, 0.0);
  BatchView<double> shared, each;
  KernelResult r;
  ASSERT_TRUE(shared.init(std::span<double>(grad_shared), 2, r));
  ASSERT_TRUE(each.init(std::span<double>(grad_each), 2, r));
  size_t common = 0;
  ASSERT_TRUE(unify_batch_counts({shared.batch_count(), each.batch_count()}, common, r));
  for (size_t b = 0; b < common; ++b) {
    for (double& g : shared.block(b)) g += static_cast<double>(b + 1);
    for (double& g : each.block(b)) g += static_cast<double>(b + 1);
  }
  EXPECT_EQ(grad_shared, (std::vector<double>{6, 6}));
  EXPECT_EQ(grad_each, (std::vector<double>{1, 1, 2, 2, 3, 3}));
}

struct CountsCase {
  std::vector<size_t> counts;
  size_t common;        // when `error` is empty
  std::string error;
};

class UnifyBatchCounts : public ::testing::TestWithParam<CountsCase> {};

TEST_P(UnifyBatchCounts, CombinesInOperandOrder) {
  const CountsCase& c = GetParam();
  KernelResult r;
  size_t common = 12345;
  const bool ok = unify_batch_counts(std::span<const size_t>(c.counts), common, r);
  if (c.error.empty()) {
    ASSERT_TRUE(ok) << r.message;
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(common, c.common);
  } else {
    EXPECT_FALSE(ok);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, UnifyBatchCounts,
    ::testing::Values(CountsCase{{}, 1, ""}, CountsCase{{1, 1}, 1, ""},
                      CountsCase{{1, 4, 1, 4}, 4, ""}, CountsCase{{7}, 7, ""},
                      CountsCase{{0, 1}, 0, ""}, CountsCase{{1, 0, 0}, 0, ""},
                      CountsCase{{3, 1, 5}, 0, "incompatible batch counts: 3 vs 5"},
                      CountsCase{{0, 2}, 0, "incompatible batch counts: 0 vs 2"},
                      CountsCase{{2, 0}, 0, "incompatible batch counts: 2 vs 0"},
                      // The first mismatch ends the check.
                      CountsCase{{2, 3, 5}, 0, "incompatible batch counts: 2 vs 3"},
                      CountsCase{{1, 18446744073709551615u, 2}, 0,
                                 "incompatible batch counts: 18446744073709551615 vs 2"}));

TEST(UnifyBatchCounts, TwoViewRuleMatchesTheGeneralOne) {
  for (size_t a : {0, 1, 2, 3}) {
    for (size_t b : {0, 1, 2, 3}) {
      KernelResult r;
      size_t common = 0;
      const bool ok = unify_batch_counts({a, b}, common, r);
      if (a == 1) {
        EXPECT_TRUE(ok && common == b) << a << "," << b;
      } else if (b == 1 || a == b) {
        EXPECT_TRUE(ok && common == a) << a << "," << b;
      } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(r.message, "incompatible batch counts: " + std::to_string(a) + " vs " +
                                 std::to_string(b));
      }
    }
  }
}

}  // namespace
}  // namespace mirelon
