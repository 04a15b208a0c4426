// Targets whose kernels are not part of this build.
#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(points_closest_soft_fwd);
MIRELON_UNBUILT(points_closest_soft_vjp);
MIRELON_UNBUILT(polygon_area_fwd);
MIRELON_UNBUILT(polygon_area_vjp);
MIRELON_UNBUILT(field_interp_fwd);
MIRELON_UNBUILT(field_interp_vjp);
MIRELON_UNBUILT(ray_matrix_fwd);
MIRELON_UNBUILT(ray_matrix_vjp);
MIRELON_UNBUILT(segments_length_fwd);
MIRELON_UNBUILT(segments_length_vjp);
MIRELON_UNBUILT(polygon_perimeter_fwd);
MIRELON_UNBUILT(polygon_perimeter_vjp);
MIRELON_UNBUILT(mvn_logp_fwd);
MIRELON_UNBUILT(mvn_logp_vjp);
MIRELON_UNBUILT(mixture_fwd);
MIRELON_UNBUILT(mixture_vjp);
MIRELON_UNBUILT(kde_fwd);
MIRELON_UNBUILT(kde_vjp);
MIRELON_UNBUILT(histogram_fwd);
MIRELON_UNBUILT(histogram_vjp);
MIRELON_UNBUILT(copula_fwd);
MIRELON_UNBUILT(copula_vjp);
MIRELON_UNBUILT(corr_chol_fwd);
MIRELON_UNBUILT(corr_chol_vjp);
MIRELON_UNBUILT(vonmises_sample);
MIRELON_UNBUILT(vonmises_sample_bwd);
MIRELON_UNBUILT(row_reduce_fwd);
MIRELON_UNBUILT(row_reduce_vjp);
MIRELON_UNBUILT(segments_matrix_fwd);
MIRELON_UNBUILT(segments_matrix_vjp);
MIRELON_UNBUILT(edge_lengths_fwd);
MIRELON_UNBUILT(edge_lengths_vjp);
MIRELON_UNBUILT(cascade_fwd);
MIRELON_UNBUILT(cascade_vjp);
MIRELON_UNBUILT(field3_interp_fwd);
MIRELON_UNBUILT(field3_interp_vjp);
MIRELON_UNBUILT(mesh_interp_fwd);
MIRELON_UNBUILT(mesh_interp_vjp);
MIRELON_UNBUILT(boundary_point_at_fwd);
MIRELON_UNBUILT(boundary_point_at_vjp);

}  // namespace mirelon
