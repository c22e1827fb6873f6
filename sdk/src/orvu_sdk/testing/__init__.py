"""Test kit for hosts: a platform simulator that judges a host from its own records."""

from __future__ import annotations

from orvu_sdk.testing.simulator import RETRYABLE_FAULTS, SILENT_FAULTS, TERMINAL_FAULTS, PlatformSimulator

__all__ = ["PlatformSimulator", "RETRYABLE_FAULTS", "SILENT_FAULTS", "TERMINAL_FAULTS"]
