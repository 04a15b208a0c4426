#include "numeric.hpp"

namespace mirelon {

bool fail_length(KernelResult& r, std::string_view text) {
  r.fail(std::string(text));
  return false;
}

bool fail_operand_length(KernelResult& r, std::string_view what, size_t count, size_t n,
                         LengthRule rule) {
  const char* expected = "";
  switch (rule) {
    case LengthRule::exactly:
      break;
    case LengthRule::at_least:
      expected = "at least ";
      break;
    case LengthRule::one_or_exactly:
      expected = "1 or ";
      break;
    case LengthRule::one_or_at_least:
      expected = "1 or at least ";
      break;
  }
  r.fail(message(what, " length mismatch: expected ", expected, n, " elements, got ", count));
  return false;
}

}  // namespace mirelon
