import os
import sys

# Tests import the helpers module next to them.
sys.path.insert(0, os.path.dirname(__file__))

try:
    from hypothesis import settings

    # Deterministic in CI; a developer can ask for more examples locally.
    settings.register_profile("ci", derandomize=True, max_examples=60, deadline=None)
    settings.register_profile("dev", max_examples=100, deadline=None)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
except ImportError:  # pragma: no cover
    pass
