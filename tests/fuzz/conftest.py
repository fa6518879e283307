import os

from hypothesis import HealthCheck, settings

# A bounded run by default (the suite and CI); HYPOTHESIS_PROFILE=thorough for a long one.
# Huge strings make some examples slow and large: no deadline, and no health check of the
# generation's speed or size.
_COMMON = dict(
    deadline=None,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
        HealthCheck.function_scoped_fixture,  # make_handler gives a class, which keeps nothing
    ],
)
settings.register_profile("default", max_examples=200, **_COMMON)
settings.register_profile("thorough", max_examples=5_000, **_COMMON)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
