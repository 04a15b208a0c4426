#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(cdf_gaussian_fwd);
MIRELON_UNBUILT(cdf_gaussian_vjp);
MIRELON_UNBUILT(cdf_weibull_fwd);
MIRELON_UNBUILT(cdf_weibull_vjp);
MIRELON_UNBUILT(cdf_gumbel_fwd);
MIRELON_UNBUILT(cdf_gumbel_vjp);
MIRELON_UNBUILT(cdf_uniform_fwd);
MIRELON_UNBUILT(cdf_uniform_vjp);
MIRELON_UNBUILT(cdf_lognormal_fwd);
MIRELON_UNBUILT(cdf_lognormal_vjp);
MIRELON_UNBUILT(cdf_exponential_fwd);
MIRELON_UNBUILT(cdf_exponential_vjp);

}  // namespace mirelon
