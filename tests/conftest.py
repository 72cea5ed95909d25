"""Shared test configuration: hypothesis profiles chosen by SIMSIEVE_TEST_PROFILE.

- "dev" (default): quick local runs.
- "ci": the full budget, thousands of differential examples per class.
- "sanitize": a small budget for the slow sanitizer builds.
"""

import os

from hypothesis import HealthCheck, settings

settings.register_profile("dev", max_examples=150, deadline=None)
settings.register_profile(
    "ci", max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "sanitize", max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("SIMSIEVE_TEST_PROFILE", "dev"))
