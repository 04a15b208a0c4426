// Targets whose kernels are not part of this build.
#include "unbuilt.hpp"

namespace mirelon {


}  // namespace mirelon
