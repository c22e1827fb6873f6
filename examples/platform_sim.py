"""The platform simulator now lives in the test kit, `orvu_sdk.testing`.

This module re-exports it so that scripts importing `platform_sim` keep working.
"""

from orvu_sdk.testing.simulator import *  # noqa: F401,F403
from orvu_sdk.testing.simulator import (  # noqa: F401
    PROTOCOL_VSN,
    RETRYABLE_FAULTS,
    SILENT_FAULTS,
    TERMINAL_FAULTS,
    UNMATCHED_TOPIC,
    PlatformSimulator,
    Records,
    SimMessage,
    frame_format,
)
