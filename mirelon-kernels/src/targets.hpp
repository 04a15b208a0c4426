// The 108 FFI targets in table order: X(kernel, inputs, outputs). The target name is
// "mirelon_" followed by the kernel name.
#pragma once

#include "kernel.hpp"

#define MIRELON_FOR_EACH_TARGET(X) \
  X(points_closest_hard_fwd, 2, 2) \
  X(points_closest_hard_vjp, 4, 2) \
  X(points_closest_soft_fwd, 3, 1) \
  X(points_closest_soft_vjp, 4, 2) \
  X(polygon_sd_fwd, 2, 3) \
  X(polygon_sd_vjp, 5, 2) \
  X(polygon_area_fwd, 1, 1) \
  X(polygon_area_vjp, 2, 1) \
  X(field_interp_fwd, 4, 1) \
  X(field_interp_vjp, 5, 2) \
  X(logp_gaussian_fwd, 3, 1) \
  X(logp_gaussian_vjp, 4, 3) \
  X(logp_weibull_fwd, 3, 1) \
  X(logp_weibull_vjp, 4, 3) \
  X(logp_lognormal_fwd, 3, 1) \
  X(logp_lognormal_vjp, 4, 3) \
  X(logp_gumbel_fwd, 3, 1) \
  X(logp_gumbel_vjp, 4, 3) \
  X(logp_exponential_fwd, 2, 1) \
  X(logp_exponential_vjp, 3, 2) \
  X(pwl_fwd, 3, 1) \
  X(pwl_vjp, 4, 1) \
  X(ellipse_sd_fwd, 4, 1) \
  X(ellipse_sd_vjp, 5, 4) \
  X(halfspace_sd_fwd, 4, 1) \
  X(halfspace_sd_vjp, 5, 3) \
  X(ray_matrix_fwd, 3, 1) \
  X(ray_matrix_vjp, 4, 3) \
  X(segments_closest_fwd, 2, 3) \
  X(segments_closest_vjp, 5, 2) \
  X(segments_length_fwd, 1, 1) \
  X(segments_length_vjp, 2, 1) \
  X(polygon_perimeter_fwd, 1, 1) \
  X(polygon_perimeter_vjp, 2, 1) \
  X(logp_gamma_fwd, 3, 1) \
  X(logp_gamma_vjp, 4, 3) \
  X(logp_beta_fwd, 3, 1) \
  X(logp_beta_vjp, 4, 3) \
  X(logp_uniform_fwd, 3, 1) \
  X(logp_uniform_vjp, 4, 3) \
  X(logp_vonmises_fwd, 3, 1) \
  X(logp_vonmises_vjp, 4, 3) \
  X(logp_wrapped_gaussian_fwd, 3, 1) \
  X(logp_wrapped_gaussian_vjp, 4, 3) \
  X(q_gaussian_fwd, 3, 1) \
  X(q_gaussian_vjp, 4, 3) \
  X(q_weibull_fwd, 3, 1) \
  X(q_weibull_vjp, 4, 3) \
  X(q_gumbel_fwd, 3, 1) \
  X(q_gumbel_vjp, 4, 3) \
  X(q_uniform_fwd, 3, 1) \
  X(q_uniform_vjp, 4, 3) \
  X(q_lognormal_fwd, 3, 1) \
  X(q_lognormal_vjp, 4, 3) \
  X(q_exponential_fwd, 2, 1) \
  X(q_exponential_vjp, 3, 2) \
  X(cdf_gaussian_fwd, 3, 1) \
  X(cdf_gaussian_vjp, 4, 3) \
  X(cdf_weibull_fwd, 3, 1) \
  X(cdf_weibull_vjp, 4, 3) \
  X(cdf_gumbel_fwd, 3, 1) \
  X(cdf_gumbel_vjp, 4, 3) \
  X(cdf_uniform_fwd, 3, 1) \
  X(cdf_uniform_vjp, 4, 3) \
  X(cdf_lognormal_fwd, 3, 1) \
  X(cdf_lognormal_vjp, 4, 3) \
  X(cdf_exponential_fwd, 2, 1) \
  X(cdf_exponential_vjp, 3, 2) \
  X(mvn_logp_fwd, 3, 1) \
  X(mvn_logp_vjp, 4, 3) \
  X(mixture_fwd, 2, 1) \
  X(mixture_vjp, 3, 2) \
  X(kde_fwd, 3, 1) \
  X(kde_vjp, 4, 2) \
  X(histogram_fwd, 3, 1) \
  X(histogram_vjp, 4, 1) \
  X(copula_fwd, 2, 1) \
  X(copula_vjp, 3, 2) \
  X(corr_chol_fwd, 1, 1) \
  X(corr_chol_vjp, 2, 1) \
  X(vonmises_sample, 3, 1) \
  X(vonmises_sample_bwd, 4, 2) \
  X(pairwise_fwd, 2, 1) \
  X(pairwise_vjp, 3, 2) \
  X(row_reduce_fwd, 4, 1) \
  X(row_reduce_vjp, 5, 2) \
  X(segments_matrix_fwd, 2, 1) \
  X(segments_matrix_vjp, 3, 2) \
  X(decay_fwd, 3, 1) \
  X(decay_vjp, 4, 2) \
  X(logistic_fwd, 4, 1) \
  X(logistic_vjp, 5, 4) \
  X(periodic_fwd, 5, 1) \
  X(periodic_vjp, 5, 4) \
  X(table2d_fwd, 5, 1) \
  X(table2d_vjp, 6, 3) \
  X(volume_mc, 4, 1) \
  X(volume_mc_vjp, 5, 2) \
  X(edge_lengths_fwd, 2, 1) \
  X(edge_lengths_vjp, 3, 1) \
  X(cascade_fwd, 4, 1) \
  X(cascade_vjp, 5, 2) \
  X(field3_interp_fwd, 4, 1) \
  X(field3_interp_vjp, 5, 2) \
  X(mesh_interp_fwd, 4, 3) \
  X(mesh_interp_vjp, 6, 2) \
  X(boundary_point_at_fwd, 3, 3) \
  X(boundary_point_at_vjp, 6, 2)

namespace mirelon {

#define MIRELON_DECLARE_KERNEL(name, n_in, n_out)                              \
  template <typename T>                                                         \
  void name(KernelResult& result, const KernelBuffer* inputs, size_t n_inputs, \
            const KernelBuffer* outputs, size_t n_outputs);
MIRELON_FOR_EACH_TARGET(MIRELON_DECLARE_KERNEL)
#undef MIRELON_DECLARE_KERNEL

}  // namespace mirelon
