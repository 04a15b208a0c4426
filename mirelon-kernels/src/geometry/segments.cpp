#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(segments_closest_fwd);
MIRELON_UNBUILT(segments_closest_vjp);

}  // namespace mirelon
