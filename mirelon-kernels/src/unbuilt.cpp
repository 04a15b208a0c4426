// Targets whose kernels are not part of this build.
#include "unbuilt.hpp"

namespace mirelon {

MIRELON_UNBUILT(field_interp_fwd);
MIRELON_UNBUILT(field_interp_vjp);
MIRELON_UNBUILT(field3_interp_fwd);
MIRELON_UNBUILT(field3_interp_vjp);
MIRELON_UNBUILT(mesh_interp_fwd);
MIRELON_UNBUILT(mesh_interp_vjp);

}  // namespace mirelon
