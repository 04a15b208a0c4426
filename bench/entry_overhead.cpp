// The entry's own share of a call, measured without XLA: the same hand-built frame of a 1-element
// logp_gaussian_fwd handed to the handler entry many times, against the typed kernel called
// directly on records decoded once. The difference is the entry's work per call (decoding the
// frame, checking counts and element types, dispatching).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frame_builder.hpp"
#include "targets.hpp"

using namespace mirelon;
using namespace mirelon::test_support;

namespace {

template <typename F>
double ns_per_call(size_t calls, F&& f) {
  double best = 1e300;
  for (int rep = 0; rep < 7; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < calls; ++i) f();
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / calls;
    if (ns < best) best = ns;
  }
  return best;
}

template <typename T>
void measure(size_t calls) {
  FakeApi api;
  FrameBuilder fb(&api);
  fb.arg_values<T>({T(0.25)});
  fb.arg_values<T>({T(0)});
  fb.arg_values<T>({T(1)});
  fb.ret_values<T>({T(0)});
  xla::XLA_FFI_CallFrame* frame = fb.frame();
  xla::XLA_FFI_Handler* handler = find_handler("mirelon_logp_gaussian_fwd");

  std::vector<KernelBuffer> in(3), out(1);
  for (size_t k = 0; k < 3; ++k) {
    in[k].dims = {1};
    in[k].data = fb.args()[k]->record.data;
    in[k].dtype = fb.args()[k]->record.dtype;
  }
  out[0].dims = {1};
  out[0].data = fb.rets()[0]->record.data;
  out[0].dtype = fb.rets()[0]->record.dtype;

  const double entry = ns_per_call(calls, [&] {
    if (handler(frame) != nullptr) std::abort();
  });
  const double kernel = ns_per_call(calls, [&] {
    KernelResult r;
    logp_gaussian_fwd<T>(r, in.data(), in.size(), out.data(), out.size());
    if (!r.ok) std::abort();
  });
  std::printf("  %s: entry %.1f ns per call, kernel alone %.1f ns, entry's own share %.1f ns\n",
              sizeof(T) == 4 ? "float32" : "float64", entry, kernel, entry - kernel);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
  std::printf("entry overhead, hand-built frame, %zu calls of a 1-element logp_gaussian_fwd\n",
              calls);
  measure<float>(calls);
  measure<double>(calls);
  return 0;
}
