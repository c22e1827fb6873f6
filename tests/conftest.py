import os

import orvu_sdk_core
from hypothesis import HealthCheck, settings

# Example counts for the property tests. "default" keeps the suite quick;
# the sanitized run (much slower per call) uses fewer; "thorough" is for a
# long local hunt: ORVU_HYPOTHESIS_PROFILE=thorough pytest tests/test_hostile_input.py
_quiet = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("default", deadline=None, suppress_health_check=_quiet)
settings.register_profile("sanitize", max_examples=15, deadline=None, suppress_health_check=_quiet)
settings.register_profile("thorough", max_examples=2000, deadline=None, suppress_health_check=_quiet)
settings.load_profile(os.environ.get("ORVU_HYPOTHESIS_PROFILE", "default"))


def pytest_report_header(config):
    return f"orvu_sdk_core from {orvu_sdk_core.__file__}"
