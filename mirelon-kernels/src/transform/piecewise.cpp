#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(pwl_fwd);
MIRELON_UNBUILT(pwl_vjp);

}  // namespace mirelon
