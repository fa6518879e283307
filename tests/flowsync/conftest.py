import pytest


@pytest.fixture(autouse=True)
def _isolated(isolated):
    """Every test here starts with an empty registry and no websockets."""
