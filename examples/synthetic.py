"""The synthetic movies of quorlin_track.synthetic, importable by the examples and benchmarks by
their old name."""

from quorlin_track.synthetic import (  # noqa: F401
    SimulatedMovie,
    cramer_rao_bound,
    expected_image,
    image_frames,
    outer_product,
    pixel_profile,
    reflect,
    simulate,
    simulate_motion,
)
