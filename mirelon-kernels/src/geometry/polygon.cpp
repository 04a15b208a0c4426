#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(polygon_sd_fwd);
MIRELON_UNBUILT(polygon_sd_vjp);

}  // namespace mirelon
