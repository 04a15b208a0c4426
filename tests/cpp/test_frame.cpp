// Call-frame decoding, operand records, the element-type check and the error return.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "frame.hpp"
#include "frame_builder.hpp"

namespace mirelon {
namespace {

using namespace test_support;

// A metadata record as XLA hands it over, with every written field holding garbage first.
xla::XLA_FFI_Metadata stale_metadata() {
  xla::XLA_FFI_Metadata md{};
  md.struct_size = 36;
  md.api_version.struct_size = 24;
  md.api_version.major_version = 7;
  md.api_version.minor_version = 9;
  md.traits = 0xffffffffu;
  return md;
}

void expect_answered(const xla::XLA_FFI_Metadata& md) {
  EXPECT_EQ(md.api_version.major_version, 0);
  EXPECT_EQ(md.api_version.minor_version, 3);
  EXPECT_EQ(md.traits, 0u);
  EXPECT_EQ(md.struct_size, 36u);  // fields other than the answer are left alone
  EXPECT_EQ(md.api_version.struct_size, 24u);
}

// Operand arrays that must not be read: null pointers with a positive count.
void poison_operands(xla::XLA_FFI_CallFrame* frame) {
  frame->args.args = nullptr;
  frame->args.size = 5;
  frame->rets.rets = nullptr;
  frame->rets.size = 5;
}

// Extension chains: how many nodes of another type precede the metadata node.
struct MetadataCase {
  int other_extensions_first;
  int32_t stage;
};

class MetadataQuery : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(MetadataQuery, AnswersVersionZeroThreeWithoutTouchingApiOrOperands) {
  const MetadataCase c = GetParam();
  xla::XLA_FFI_Metadata md = stale_metadata();
  FrameBuilder fb;  // api stays null: answering must not reach for it
  for (int i = 0; i < c.other_extensions_first; ++i) fb.extension(2 + i);
  fb.metadata(&md);
  fb.stage(c.stage);
  xla::XLA_FFI_CallFrame* frame = fb.frame();
  poison_operands(frame);

  EXPECT_FALSE(decode_call_frame(frame).has_value());
  expect_answered(md);

  md = stale_metadata();
  EXPECT_EQ(kTargetTable[0].handler(frame), nullptr);
  expect_answered(md);
}

INSTANTIATE_TEST_SUITE_P(ChainsAndStages, MetadataQuery,
                         ::testing::Values(MetadataCase{0, 3}, MetadataCase{1, 3},
                                           MetadataCase{2, 3}, MetadataCase{0, 0},
                                           MetadataCase{1, 1}, MetadataCase{0, 2},
                                           MetadataCase{1, 7}));

TEST(MetadataQuery, NullMetadataPointerIsAnsweredWithNothing) {
  FrameBuilder fb;
  fb.extension(5);
  fb.metadata(nullptr);
  xla::XLA_FFI_CallFrame* frame = fb.frame();
  poison_operands(frame);
  EXPECT_FALSE(decode_call_frame(frame).has_value());
  EXPECT_EQ(kTargetTable[0].handler(frame), nullptr);
}

TEST(MetadataQuery, OnlyTheFirstMetadataNodeIsAnswered) {
  xla::XLA_FFI_Metadata first = stale_metadata();
  xla::XLA_FFI_Metadata second = stale_metadata();
  FrameBuilder fb;
  fb.metadata(&first);
  fb.metadata(&second);
  EXPECT_FALSE(decode_call_frame(fb.frame()).has_value());
  expect_answered(first);
  EXPECT_EQ(second.api_version.major_version, 7);
  EXPECT_EQ(second.api_version.minor_version, 9);
  EXPECT_EQ(second.traits, 0xffffffffu);
}

TEST(Decode, ExtensionsOfOtherTypesAreSkippedAtExecute) {
  FrameBuilder fb;
  fb.extension(2);
  fb.extension(0);
  fb.arg(kF64, {3});
  fb.ret(kF64, {3});
  auto call = decode_call_frame(fb.frame());
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->args.size(), 1u);
  EXPECT_EQ(call->rets.size(), 1u);
}

class NonExecuteStage : public ::testing::TestWithParam<int32_t> {};

TEST_P(NonExecuteStage, HasNothingToDoAndReadsNoOperand) {
  FrameBuilder fb;
  fb.stage(GetParam());
  xla::XLA_FFI_CallFrame* frame = fb.frame();
  poison_operands(frame);
  EXPECT_FALSE(decode_call_frame(frame).has_value());
  EXPECT_EQ(kTargetTable[0].handler(frame), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Stages, NonExecuteStage, ::testing::Values(0, 1, 2, 4, -1));

TEST(Decode, ExecuteCopiesEveryOperandInFrameOrder) {
  FrameBuilder fb;
  auto& a0 = fb.arg(kF64, {2, 3});
  auto& a1 = fb.arg(kF32, {4});
  auto& r0 = fb.ret(kF64, {});
  auto call = decode_call_frame(fb.frame());
  ASSERT_TRUE(call.has_value());
  ASSERT_EQ(call->args.size(), 2u);
  ASSERT_EQ(call->rets.size(), 1u);
  EXPECT_EQ(call->args[0].dims, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(call->args[0].data, a0.record.data);
  EXPECT_EQ(call->args[0].dtype, kF64);
  EXPECT_EQ(call->args[1].dims, (std::vector<int64_t>{4}));
  EXPECT_EQ(call->args[1].data, a1.record.data);
  EXPECT_EQ(call->args[1].dtype, kF32);
  EXPECT_TRUE(call->rets[0].dims.empty());
  EXPECT_EQ(call->rets[0].data, r0.record.data);

  // The records own their extents: the frame's copy may change afterwards.
  a0.dims[0] = 99;
  EXPECT_EQ(call->args[0].dims[0], 2);
}

TEST(Decode, NegativeOperandCountsReadAsNone) {
  FrameBuilder fb;
  xla::XLA_FFI_CallFrame* frame = fb.frame();
  frame->args.size = -3;
  frame->rets.size = std::numeric_limits<int64_t>::min();
  auto call = decode_call_frame(frame);
  ASSERT_TRUE(call.has_value());
  EXPECT_TRUE(call->args.empty());
  EXPECT_TRUE(call->rets.empty());
}

// collect_buffers over one XLA_FFI_Buffer whose extents pointer designates `dims` storage of
// exactly `stored` entries (AddressSanitizer reports any read beyond them).
KernelBuffer collect_one(int64_t rank, const std::vector<int64_t>& dims, int32_t dtype = kF64) {
  auto storage = std::make_unique<int64_t[]>(dims.size());
  std::copy(dims.begin(), dims.end(), storage.get());
  xla::XLA_FFI_Buffer b{};
  b.dtype = dtype;
  b.rank = rank;
  b.dims = storage.get();
  void* ptr = &b;
  auto out = collect_buffers(&ptr, 1);
  EXPECT_EQ(out.size(), 1u);
  return out.empty() ? KernelBuffer{} : out[0];
}

TEST(Buffers, RankZeroHoldsOneElementWithoutReadingExtents) {
  KernelBuffer b = collect_one(0, {});
  EXPECT_TRUE(b.dims.empty());
  EXPECT_EQ(element_count(b), 1u);
  EXPECT_EQ(last_extent(b), 1u);
  EXPECT_EQ(second_last_extent(b), 1u);
}

TEST(Buffers, NegativeRankIsRankZero) {
  for (int64_t rank : {int64_t{-1}, int64_t{-7}, std::numeric_limits<int64_t>::min()}) {
    KernelBuffer b = collect_one(rank, {});
    EXPECT_TRUE(b.dims.empty()) << rank;
    EXPECT_EQ(element_count(b), 1u) << rank;
  }
}

TEST(Buffers, DtypeIsCopiedUnchecked) {
  EXPECT_EQ(collect_one(1, {2}, 7).dtype, 7);
  EXPECT_EQ(collect_one(1, {2}, -1).dtype, -1);
}

TEST(Buffers, NoneForCountZeroOrNegative) {
  EXPECT_TRUE(collect_buffers(nullptr, 0).empty());
  EXPECT_TRUE(collect_buffers(nullptr, -1).empty());
}

struct SizeCase {
  std::vector<int64_t> dims;
  size_t count, last, second_last;
};

class DerivedSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DerivedSizes, FollowTheExtents) {
  const SizeCase& c = GetParam();
  KernelBuffer b = collect_one(static_cast<int64_t>(c.dims.size()), c.dims);
  EXPECT_EQ(b.dims, c.dims);
  EXPECT_EQ(element_count(b), c.count);
  EXPECT_EQ(last_extent(b), c.last);
  EXPECT_EQ(second_last_extent(b), c.second_last);
}

constexpr int64_t k2p62 = int64_t{1} << 62;

INSTANTIATE_TEST_SUITE_P(
    Shapes, DerivedSizes,
    ::testing::Values(SizeCase{{5}, 5, 5, 1}, SizeCase{{2, 3, 4}, 24, 4, 3},
                      SizeCase{{0}, 0, 0, 1}, SizeCase{{3, 0, 2}, 0, 2, 0},
                      SizeCase{{0, 4}, 0, 4, 0},
                      // Negative extents never read as huge sizes.
                      SizeCase{{-1}, 0, 0, 1}, SizeCase{{-2, 3}, 0, 3, 0},
                      SizeCase{{4, -3}, 0, 0, 4},
                      // A product that wraps to a negative or zero value counts as empty.
                      SizeCase{{k2p62, 2}, 0, 2, static_cast<size_t>(k2p62)},
                      SizeCase{{int64_t{1} << 32, int64_t{1} << 32}, 0, size_t{1} << 32,
                               size_t{1} << 32}));

TEST(BufferRefs, ListsArgsThenRetsInOrder) {
  std::vector<KernelBuffer> args(2), rets(3);
  auto refs = buffer_refs(args, rets);
  ASSERT_EQ(refs.size(), 5u);
  EXPECT_EQ(refs[0], &args[0]);
  EXPECT_EQ(refs[1], &args[1]);
  EXPECT_EQ(refs[2], &rets[0]);
  EXPECT_EQ(refs[4], &rets[2]);
  EXPECT_TRUE(buffer_refs({}, {}).empty());
}

struct DtypeCase {
  std::vector<int32_t> codes;
  std::string error;  // empty: the codes agree
};

class UniformDtype : public ::testing::TestWithParam<DtypeCase> {};

TEST_P(UniformDtype, ReportsTheFirstFailingRecord) {
  const DtypeCase& c = GetParam();
  std::vector<KernelBuffer> records(c.codes.size());
  for (size_t i = 0; i < records.size(); ++i) records[i].dtype = c.codes[i];
  std::vector<const KernelBuffer*> refs;
  for (const auto& r : records) refs.push_back(&r);
  DType dtype{};
  std::string error;
  const bool ok = check_uniform_dtype(refs, dtype, error);
  if (c.error.empty()) {
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(static_cast<int32_t>(dtype), c.codes[0]);
  } else {
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, c.error);
  }
}

const char* const kMixed12vs11 =
    "mixed buffer dtypes (12 vs 11); all mirelon kernel operands must match";

INSTANTIATE_TEST_SUITE_P(
    Codes, UniformDtype,
    ::testing::Values(
        DtypeCase{{}, "kernel called with no buffers"}, DtypeCase{{11}, ""},
        DtypeCase{{12, 12, 12}, ""}, DtypeCase{{11, 11}, ""},
        DtypeCase{{12, 12, 11}, kMixed12vs11},
        DtypeCase{{11, 12}, "mixed buffer dtypes (11 vs 12); all mirelon kernel operands must match"},
        DtypeCase{{11, 7, 12}, "unsupported buffer dtype 7"},
        DtypeCase{{12, 11, 7}, kMixed12vs11},
        DtypeCase{{13, 11}, "unsupported buffer dtype 13"},
        DtypeCase{{10, 11}, "unsupported buffer dtype 10"},
        DtypeCase{{0}, "unsupported buffer dtype 0"},
        DtypeCase{{static_cast<int32_t>(4294967295u), 11}, "unsupported buffer dtype -1"},
        DtypeCase{{12, static_cast<int32_t>(4294967295u)}, "unsupported buffer dtype -1"},
        DtypeCase{{std::numeric_limits<int32_t>::min()}, "unsupported buffer dtype -2147483648"}));

TEST(ErrorReturn, CreatesInvalidArgumentWithTheMessage) {
  FakeApi api;
  FrameBuilder fb(&api);
  xla::XLA_FFI_Error* err = make_ffi_error(fb.frame(), "output length mismatch");
  ASSERT_EQ(api.calls().size(), 1u);
  const auto& call = api.calls()[0];
  EXPECT_EQ(call.message, "output length mismatch");
  EXPECT_EQ(call.errc, 3);
  EXPECT_EQ(call.struct_size, 32u);
  EXPECT_EQ(call.extension_start, nullptr);
  EXPECT_NE(err, nullptr);
  EXPECT_EQ(err, call.returned);
}

// The message reaches the host whole, as a terminated copy, or, holding a NUL that would cut it
// short, replaced whole by the fallback text; every call returns its own error.
TEST(ErrorReturn, PassesTheMessageWholeOrReplacesOneHoldingNul) {
  using namespace std::string_view_literals;
  const char unterminated[] = {'a', 'b', 'c', 'x', 'y'};  // no terminator after the view's end
  const std::string long_text(100000, 'x');
  const std::string fallback = "mirelon kernel error";
  const struct {
    std::string_view text;
    std::string want;
  } cases[] = {
      {std::string_view(unterminated, 3), "abc"}, {"", ""},
      {"ab\0cd"sv, fallback}, {"\0"sv, fallback}, {"abc\0"sv, fallback}, {"\0abc"sv, fallback},
      {long_text, long_text}, {"\xce\xbb out of range", "\xce\xbb out of range"},
  };
  FakeApi api;
  FrameBuilder fb(&api);
  for (const auto& c : cases) make_ffi_error(fb.frame(), c.text);
  const auto& calls = api.calls();
  ASSERT_EQ(calls.size(), std::size(cases));
  for (size_t k = 0; k < calls.size(); ++k) {
    EXPECT_EQ(calls[k].message, cases[k].want) << "case " << k;
    EXPECT_EQ(calls[k].errc, 3) << "case " << k;
    if (k > 0) {
      EXPECT_NE(calls[k].returned, calls[k - 1].returned) << "case " << k;
    }
  }
}

}  // namespace
}  // namespace mirelon
