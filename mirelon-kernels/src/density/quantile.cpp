#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(q_gaussian_fwd);
MIRELON_UNBUILT(q_gaussian_vjp);
MIRELON_UNBUILT(q_weibull_fwd);
MIRELON_UNBUILT(q_weibull_vjp);
MIRELON_UNBUILT(q_gumbel_fwd);
MIRELON_UNBUILT(q_gumbel_vjp);
MIRELON_UNBUILT(q_uniform_fwd);
MIRELON_UNBUILT(q_uniform_vjp);
MIRELON_UNBUILT(q_lognormal_fwd);
MIRELON_UNBUILT(q_lognormal_vjp);
MIRELON_UNBUILT(q_exponential_fwd);
MIRELON_UNBUILT(q_exponential_vjp);

}  // namespace mirelon
