#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(points_closest_hard_fwd);
MIRELON_UNBUILT(points_closest_hard_vjp);
MIRELON_UNBUILT(pairwise_fwd);
MIRELON_UNBUILT(pairwise_vjp);

}  // namespace mirelon
