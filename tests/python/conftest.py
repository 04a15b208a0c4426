import jax
import pytest

jax.config.update("jax_enable_x64", True)


@pytest.fixture(scope="session")
def registered():
    from mirelon_jax import register_all

    return register_all()
