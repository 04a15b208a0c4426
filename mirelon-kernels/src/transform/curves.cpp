#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(decay_fwd);
MIRELON_UNBUILT(decay_vjp);
MIRELON_UNBUILT(logistic_fwd);
MIRELON_UNBUILT(logistic_vjp);
MIRELON_UNBUILT(periodic_fwd);
MIRELON_UNBUILT(periodic_vjp);
MIRELON_UNBUILT(table2d_fwd);
MIRELON_UNBUILT(table2d_vjp);

}  // namespace mirelon
