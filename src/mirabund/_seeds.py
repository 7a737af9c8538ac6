"""Seeds of the resampling routines.

Every routine that resamples takes ``seed=None`` (keyword-only) and passes it
through :func:`resolve_seed` once, before any work: ``None`` draws a fresh
64-bit seed from the operating system, an int is checked to lie in
[0, 2**64). The seed actually used is recorded in the result's ``seed``
field, so any run can be repeated exactly by passing it back. Routines that
run several resamplings from one call (one per metric, say) derive nothing
from the seed: each resampling gets the same recorded seed, which keeps every
part of a result repeatable on its own.
"""

from __future__ import annotations

import secrets

from ._checks import check_int

__all__ = ["SEED_LIMIT", "resolve_seed"]

SEED_LIMIT = 2**64


def resolve_seed(seed: object, name: str = "seed") -> int:
    """Return ``seed`` checked, or a new 64-bit seed from the OS for ``None``."""
    if seed is None:
        return secrets.randbits(64)
    return check_int(name, seed, minimum=0, maximum=SEED_LIMIT - 1, expected="None or an integer in [0, 2**64)")
