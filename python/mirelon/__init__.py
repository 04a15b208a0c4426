"""Numerical kernels for JAX models, exported as XLA FFI handlers by ``mirelon._core``."""
