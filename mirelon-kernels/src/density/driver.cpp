#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(logp_gaussian_fwd);
MIRELON_UNBUILT(logp_gaussian_vjp);
MIRELON_UNBUILT(logp_weibull_fwd);
MIRELON_UNBUILT(logp_weibull_vjp);
MIRELON_UNBUILT(logp_lognormal_fwd);
MIRELON_UNBUILT(logp_lognormal_vjp);
MIRELON_UNBUILT(logp_gumbel_fwd);
MIRELON_UNBUILT(logp_gumbel_vjp);
MIRELON_UNBUILT(logp_exponential_fwd);
MIRELON_UNBUILT(logp_exponential_vjp);
MIRELON_UNBUILT(logp_gamma_fwd);
MIRELON_UNBUILT(logp_gamma_vjp);
MIRELON_UNBUILT(logp_beta_fwd);
MIRELON_UNBUILT(logp_beta_vjp);
MIRELON_UNBUILT(logp_uniform_fwd);
MIRELON_UNBUILT(logp_uniform_vjp);
MIRELON_UNBUILT(logp_vonmises_fwd);
MIRELON_UNBUILT(logp_vonmises_vjp);
MIRELON_UNBUILT(logp_wrapped_gaussian_fwd);
MIRELON_UNBUILT(logp_wrapped_gaussian_vjp);

}  // namespace mirelon
