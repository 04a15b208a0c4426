// Fuzzes every handler entry with call frames built from the fuzzer's bytes: right and wrong
// operand counts, every element-type code, ranks 0 to 4, zero, negative and huge extents
// (products that overflow included), operands shorter or longer than a kernel needs, and values
// from a palette of awkward numbers. Every operand's storage is allocated at exactly the size the
// frame describes, so AddressSanitizer sees any access outside it. Every call must return success
// or an INVALID_ARGUMENT error with a message.
//
// MIRELON_FUZZ_FAMILY (density, multivariate, points, segments, shapes, fields, graphs,
// transforms) restricts the targets to one family; unset, every target is fuzzed. scripts/fuzz.sh
// runs the families one after another from the seed corpus in tests/fuzz/corpus, which
// tests/fuzz/make_corpus.py writes from the byte layout read here.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "frame_builder.hpp"
#include "targets.hpp"

namespace {

using namespace mirelon;
using namespace mirelon::test_support;

struct Counts {
  const char* name;
  uint8_t inputs;
  uint8_t outputs;
};

#define MIRELON_COUNTS(kernel, n_in, n_out) Counts{#kernel, n_in, n_out},
constexpr Counts kCounts[] = {MIRELON_FOR_EACH_TARGET(MIRELON_COUNTS)};
#undef MIRELON_COUNTS
static_assert(std::size(kCounts) == kTargetCount);

// Most elements an operand gets; a frame describing more is shrunk to its first extents' worth,
// so that every call stays small and fast.
constexpr uint64_t kMaxElements = 300;

// The family a target belongs to, by the prefix of its kernel name.
std::string_view family_of(std::string_view k) {
  const auto starts = [&](std::string_view p) { return k.substr(0, p.size()) == p; };
  if (starts("logp_") || starts("cdf_") || starts("q_")) return "density";
  if (starts("mvn_") || starts("mixture_") || starts("kde_") || starts("histogram_") ||
      starts("copula_") || starts("corr_chol_") || starts("vonmises_"))
    return "multivariate";
  if (starts("points_") || starts("pairwise_") || starts("row_reduce_")) return "points";
  if (starts("segments_") || starts("polygon_")) return "segments";
  if (starts("ellipse_") || starts("halfspace_") || starts("ray_") || starts("volume_"))
    return "shapes";
  if (starts("field") || starts("mesh_")) return "fields";
  if (starts("cascade_") || starts("edge_") || starts("boundary_")) return "graphs";
  return "transforms";
}

const std::vector<size_t>& selected_targets() {
  static const std::vector<size_t> targets = [] {
    const char* want = std::getenv("MIRELON_FUZZ_FAMILY");
    std::vector<size_t> out;
    for (size_t i = 0; i < kTargetCount; ++i) {
      if (want == nullptr || *want == '\0' || family_of(kCounts[i].name) == want) out.push_back(i);
    }
    if (out.empty()) std::abort();  // an unknown family name
    return out;
  }();
  return targets;
}

// Reads the fuzzer's bytes in order; once they run out every read gives 0.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  uint64_t word() {
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v = (v << 8) | byte();
    return v;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();

// Extents: small ones most often, then negative and huge ones whose products overflow.
constexpr int64_t kExtents[] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,  12,  16,  17,  31,  33,
    64, 100, -1, -2, -7, int64_t{1} << 31, int64_t{1} << 32, (int64_t{1} << 32) + 1,
    int64_t{1} << 62, kI64Max, kI64Min, -(int64_t{1} << 62), 3 * (int64_t{1} << 61),
    1000000, kI64Max / 2 + 1, -kI64Max};

// Values: zero, signs, NaN, infinities, subnormals, huge and tiny numbers, small integers,
// negative and out-of-range indices, 2^24 + 1 (not a float), 1e30.
const double kValues[] = {0.0,
                          -0.0,
                          1.0,
                          -1.0,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::denorm_min(),
                          static_cast<double>(std::numeric_limits<float>::denorm_min()),
                          std::numeric_limits<double>::max(),
                          -std::numeric_limits<double>::max(),
                          static_cast<double>(std::numeric_limits<float>::max()),
                          1e-300,
                          2.0,
                          3.0,
                          4.0,
                          5.0,
                          7.0,
                          -2.0,
                          -3.0,
                          0.5,
                          0.25,
                          1e9,
                          -1e9,
                          16777217.0,
                          1e30,
                          -1e30,
                          1e-12,
                          0.999999,
                          18446744073709551616.0,
                          9.2233720368547758e18,
                          -9.2233720368547758e18};

double value_from(Reader& in) {
  const uint8_t b = in.byte();
  if (b < std::size(kValues)) return kValues[b];
  if (b == 255) {  // any bit pattern
    const uint64_t bits = in.word();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  return (static_cast<double>(b) - 128.0) / 8.0;  // a grid of ordinary values in [-12, 16]
}

// Element count by the frame's rule: the extents' product in wrapping arithmetic, read as signed,
// negative as 0; and whether the exact product leaves the signed 64-bit range.
uint64_t element_count_of(const std::vector<int64_t>& dims, bool& overflows) {
  uint64_t wrapped = 1;
  overflows = false;
  __int128 exact = 1;
  bool zero = false;
  for (int64_t d : dims) {
    wrapped *= static_cast<uint64_t>(d);
    if (d == 0) zero = true;
    if (!overflows) {
      exact *= static_cast<__int128>(d);
      if (exact > kI64Max || exact < kI64Min) overflows = true;
    }
  }
  if (zero) overflows = false;
  const auto s = static_cast<int64_t>(wrapped);
  return s < 0 ? 0 : static_cast<uint64_t>(s);
}

// One operand of `dtype`: its extents from the bytes (shrunk while it would hold more than
// kMaxElements, unless its product overflows: then it holds nothing that could be read), its
// storage of exactly the element count, inputs filled from the value palette.
void make_operand(Reader& in, int32_t dtype, bool input, TestBuffer& op) {
  const int rank = in.byte() % 5;
  for (int k = 0; k < rank; ++k) op.dims.push_back(kExtents[in.byte() % std::size(kExtents)]);
  bool overflows = false;
  uint64_t count = element_count_of(op.dims, overflows);
  // Too many elements: make extents small from the last one back (4^4 <= kMaxElements).
  for (size_t k = op.dims.size(); !overflows && count > kMaxElements && k-- > 0;) {
    op.dims[k] = static_cast<int64_t>(in.byte() % 5);
    count = element_count_of(op.dims, overflows);
  }
  const size_t width = dtype == kF32 ? 4 : 8;
  const uint64_t stored = overflows ? 0 : count;
  op.bytes = stored * width;
  if (stored != 0 && (dtype == kF32 || dtype == kF64)) {
    op.storage = std::make_unique<unsigned char[]>(op.bytes);
    for (uint64_t i = 0; i < stored; ++i) {
      const double v = input ? value_from(in) : -7.25;
      if (dtype == kF32) {
        const float f = static_cast<float>(v);
        std::memcpy(op.storage.get() + i * 4, &f, 4);
      } else {
        std::memcpy(op.storage.get() + i * 8, &v, 8);
      }
    }
  } else if (stored != 0) {
    op.storage = std::make_unique<unsigned char[]>(op.bytes);  // another element type
  }
  op.record.struct_size = sizeof(xla::XLA_FFI_Buffer);
  op.record.dtype = dtype;
  // No elements: a null or a dangling pointer, never to be read.
  op.record.data = op.storage ? op.storage.get()
                              : (in.byte() & 1 ? nullptr : reinterpret_cast<void*>(uintptr_t{64}));
  op.record.rank = rank;
  op.record.dims = op.dims.data();  // rank 0: empty storage, never to be read
}

// The cascade's step count is work the caller asks for on purpose, limited only by its state
// history fitting in memory. A count that fits, but that no call could work through within the
// fuzzer's time limit, is folded to a small one; counts from 2^40 up stay as they are, since no
// machine holds 2^40 states and the kernels reject them.
void fold_step_count(std::string_view kernel, std::vector<std::unique_ptr<TestBuffer>>& args) {
  if (kernel.substr(0, 8) != "cascade_" || args.size() < 4 || args[3]->storage == nullptr) return;
  const xla::XLA_FFI_Buffer& steps = args[3]->record;
  const auto fold = [](double v) { return v >= 64.0 && v < 0x1p40 ? std::fmod(v, 64.0) : v; };
  if (steps.dtype == kF64) {
    double v;
    std::memcpy(&v, steps.data, sizeof v);
    v = fold(v);
    std::memcpy(steps.data, &v, sizeof v);
  } else if (steps.dtype == kF32) {
    float v;
    std::memcpy(&v, steps.data, sizeof v);
    v = static_cast<float>(fold(static_cast<double>(v)));
    std::memcpy(steps.data, &v, sizeof v);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const std::vector<size_t>& targets = selected_targets();
  const size_t t = targets[in.byte() % targets.size()];
  const uint8_t flags = in.byte();

  size_t n_in = kCounts[t].inputs;
  size_t n_out = kCounts[t].outputs;
  switch (flags & 7) {  // mostly the right counts
    case 5:
      ++n_in;
      break;
    case 6:
      n_in = n_in > 0 ? n_in - 1 : 0;
      break;
    case 7:
      n_out = (n_out + 1) % 4;
      break;
    default:
      break;
  }
  const int32_t common = flags & 8 ? kF32 : kF64;
  const size_t odd_one = (flags & 16) ? in.byte() % (n_in + n_out) : SIZE_MAX;
  const int32_t odd_code = static_cast<int32_t>(in.byte()) - 8;  // -8 … 247

  FakeApi api;
  FrameBuilder fb(&api);
  if (flags & 32) fb.stage(flags >> 6);
  for (size_t k = 0; k < n_in + n_out; ++k) {
    auto op = std::make_unique<TestBuffer>();
    make_operand(in, k == odd_one ? odd_code : common, k < n_in, *op);
    (k < n_in ? fb.args() : fb.rets()).push_back(std::move(op));
  }

  fold_step_count(kCounts[t].name, fb.args());

  xla::XLA_FFI_Error* err = kTargetTable[t].handler(fb.frame());
  if (err == nullptr) {
    if (!api.calls().empty()) std::abort();
  } else {
    if (api.calls().size() != 1 || api.calls()[0].returned != err ||
        api.calls()[0].errc != xla::XLA_FFI_Error_Code_INVALID_ARGUMENT ||
        api.calls()[0].message.empty())
      std::abort();
  }
  return 0;
}
