#include "batch.hpp"

namespace mirelon {

std::string batch_inner_error(size_t length, size_t inner) {
  if (inner == 0) return "inner block size must be positive";
  return message("buffer length ", length, " is not a multiple of inner size ", inner);
}

bool unify_batch_counts(std::span<const size_t> counts, size_t& common, KernelResult& r) {
  size_t running = 1;
  for (size_t c : counts) {
    if (c == 1) continue;
    if (running == 1) {
      running = c;
    } else if (c != running) {
      r.fail(message("incompatible batch counts: ", running, " vs ", c));
      return false;
    }
  }
  common = running;
  return true;
}

}  // namespace mirelon
