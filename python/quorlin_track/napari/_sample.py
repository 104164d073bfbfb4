"""napari sample data: the built-in synthetic movie of diffusing, blinking spots."""

from __future__ import annotations

from ..demo import DemoSettings
from ..synthetic import simulate
from ._tables import LayerData

__all__ = ["synthetic_movie"]


def synthetic_movie(settings: DemoSettings = DemoSettings()) -> list[LayerData]:
    """The movie of ``quorlin-track --demo``: by default 100 frames of 256 x 256 pixels with 300
    particles (photons; diffusion 0.25 pixel^2 per frame).

    Parameters
    ----------
    settings : DemoSettings
        What to simulate.

    Returns
    -------
    list of LayerData
        One image layer, ``(frames, {"name": "synthetic movie"}, "image")``.
    """
    movie = simulate(settings.size, settings.particles, settings.frames,
                     [settings.sigma] * len(settings.size), settings.photons, settings.background,
                     settings.read_noise, settings.diffusion, settings.blink_off,
                     settings.blink_on, settings.seed)
    return [(movie.frames, {"name": "synthetic movie", "colormap": "gray"}, "image")]
