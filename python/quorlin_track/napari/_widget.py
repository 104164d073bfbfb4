"""The "Track particles" dock widget: detection and linking controls built from the functions'
signatures, a live preview of the frame shown, a cancellable run over the whole movie, and export.

All detection and linking runs on napari's thread workers; the GUI thread only reads controls and
updates layers, so the viewer never waits on the work. Every error reaches the user as a napari
notification with the exception's message.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Generator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
import pandas as pd
from magicgui.widgets import (CheckBox, ComboBox, Container, FloatSpinBox, Label, LineEdit,
                              ProgressBar, PushButton, SpinBox, Widget)
from magicgui.widgets.bases import ValueWidget
from napari.layers import Image, Layer, Tracks  # type: ignore[import-untyped,unused-ignore]
from napari.qt.threading import create_worker  # type: ignore[import-untyped,unused-ignore]
from napari.utils.notifications import (  # type: ignore[import-untyped,unused-ignore]
    show_error, show_info)
from qtpy.QtCore import QTimer
from qtpy.QtWidgets import QFileDialog

from .. import batch, link, save
from ..columns import PARTICLE
from ..movie import Movie, open_movie
from ._controls import Control, controls, spin_step
from ._tables import per_track, spots_layer, tracks_layer
from ._work import frame_spots, track_movie

__all__ = ["TrackWidget"]

F = TypeVar("F", bound=Callable[..., Any])

#: Keywords of ``batch`` and ``link`` that get no control: the widget shows its own progress, and
#: a run finds the camera's stuck pixels on the movie itself.
SKIPPED = ("progress", "stuck_pixels")
#: Start values of required keywords (which have no default), as the command line's defaults.
START = {"max_distance": 3.0}  # pixels
# Changes closer together than this make one preview (changes during a preview make one more
# after it); a small part of the 100 ms in which a user sees an answer as immediate.
PREVIEW_DELAY_MS = 10
# Spin box bounds: wide enough for any count or intensity; the functions check the real ranges.
INT_BOUND = 2**31 - 1
FLOAT_BOUND = 1e12
# The preview's markers differ from those of a run's spots, which show at the same places.
PREVIEW_COLOUR = "yellow"
FILE_FILTER = "CSV (*.csv);;Parquet (*.parquet *.pq)"


def _message(error: BaseException) -> str:
    return str(error) or type(error).__name__


def _reporting(method: F) -> F:
    """Runs a GUI callback; an exception becomes a notification instead of reaching Qt."""

    @functools.wraps(method)
    def reported(*args: Any, **kwargs: Any) -> Any:
        try:
            return method(*args, **kwargs)
        except Exception as error:
            show_error(_message(error))
            return None

    return reported  # type: ignore[return-value]


def _control_widget(control: Control) -> ValueWidget[Any]:
    """The magicgui widget of one control."""
    common: dict[str, Any] = {"name": control.name, "label": control.name.replace("_", " "),
                              "tooltip": control.tooltip}
    if control.kind == "check":
        return CheckBox(value=control.value, **common)
    if control.kind == "int":
        return SpinBox(value=control.value, min=-INT_BOUND, max=INT_BOUND, **common)
    if control.kind == "float":
        return FloatSpinBox(value=control.value, min=-FLOAT_BOUND, max=FLOAT_BOUND,
                            step=spin_step(control.value), **common)
    if control.kind == "combo":
        return ComboBox(choices=[control.label(c) for c in control.choices],
                        value=control.label(control.value), **common)
    return LineEdit(value=control.label(control.value), **common)


@dataclass(frozen=True)
class _Results:
    """A run's tables and its layers, made on the worker thread (building a Tracks layer of a
    long movie takes seconds that the GUI thread does not wait for)."""

    tracks: pd.DataFrame
    track_table: pd.DataFrame
    layers: list[Layer]


def _run(movie: Movie, detect: Mapping[str, Any], linking: Mapping[str, Any], name: str,
         colour: str, placed: Mapping[str, Any]) -> Generator[tuple[int, int], None, _Results]:
    """The worker's job: :func:`track_movie`, then the result layers."""
    tracks = yield from track_movie(movie, detect, linking)
    quantities = per_track(tracks)
    layers = [Layer.create(*spots_layer(tracks, f"{name} spots", **placed)),
              Layer.create(*tracks_layer(tracks, f"{name} tracks", colour, quantities, **placed))]
    return _Results(tracks, quantities, layers)


class _Keywords:
    """The controls of one function's keywords and the values they hold."""

    def __init__(self, function: Callable[..., Any]) -> None:
        self.controls = controls(function, skip=SKIPPED, start=START)
        self.widgets = [_control_widget(c) for c in self.controls]

    def values(self) -> dict[str, Any]:
        """The keywords as the controls set them; raises ValueError for a text not accepted."""
        values = {}
        for control, widget in zip(self.controls, self.widgets):
            value = widget.value
            values[control.name] = control.parse(value) if control.kind in ("combo", "text") \
                else value
        return values


class TrackWidget(Container[Widget]):
    """Detect, preview, link and export the particles of a 2-D+time or 3-D+time image layer.

    Parameters
    ----------
    napari_viewer : napari.viewer.Viewer or napari.components.ViewerModel
        The viewer whose image layers the widget works on.
    """

    def __init__(self, napari_viewer: Any) -> None:
        super().__init__(labels=True)
        self.viewer = napari_viewer
        #: The last run's track table and per-track table (None before a run).
        self.tracks: pd.DataFrame | None = None
        self.track_table: pd.DataFrame | None = None
        self.detection = _Keywords(batch)
        self.linking = _Keywords(link)
        self.image = ComboBox(label="image", choices=self._image_choices,
                              tooltip="The movie: an image layer of (T, Y, X) or (T, Z, Y, X)")
        self.preview = CheckBox(value=True, label="live preview",
                                tooltip="Detect the frame shown whenever a detection setting "
                                        "or the frame changes")
        self.run_button = PushButton(text="Run", tooltip="Detect and link the whole movie")
        self.cancel_button = PushButton(text="Cancel", enabled=False,
                                        tooltip="Stop the run (within a fraction of a second)")
        self.progress = ProgressBar(value=0, max=1, label="progress")
        self.status = Label(value="", label="")
        self.colour = ComboBox(label="colour tracks by", choices=self._colour_choices,
                               tooltip="Per-track quantity that colours the tracks (pixels, "
                                       "frames)")
        self.save_tracks_button = PushButton(text="Save tracks...",
                                             tooltip="The track table, one row per detection")
        self.save_table_button = PushButton(text="Save per-track table...",
                                            tooltip="One row per particle")
        self.extend([self.image, Label(value="<b>Detection</b>", label=""),
                     *self.detection.widgets, self.preview,
                     Label(value="<b>Linking</b>", label=""), *self.linking.widgets,
                     self.run_button, self.cancel_button, self.progress, self.status,
                     self.colour, self.save_tracks_button, self.save_table_button])

        self.preview_layer: Layer | None = None
        self.result_layers: list[Layer] = []
        self._preview_worker: Any = None
        self._preview_again = False
        self._run_worker: Any = None
        self._timer = QTimer()
        self._timer.setSingleShot(True)
        self._timer.setInterval(PREVIEW_DELAY_MS)
        self._timer.timeout.connect(self._start_preview)

        for widget in (*self.detection.widgets, self.image, self.preview):
            widget.changed.connect(self.schedule_preview)
        self.run_button.changed.connect(self.run)
        self.cancel_button.changed.connect(self.cancel)
        self.colour.changed.connect(self._recolour)
        self.save_tracks_button.changed.connect(lambda: self._save_dialog(self.save_tracks))
        self.save_table_button.changed.connect(lambda: self._save_dialog(self.save_track_table))
        self.viewer.dims.events.current_step.connect(self.schedule_preview)
        for event in (self.viewer.layers.events.inserted, self.viewer.layers.events.removed):
            event.connect(self._layers_changed)
        self.schedule_preview()

    # The movie.

    def _image_choices(self, _: Any = None) -> list[tuple[str, Layer]]:
        return [(layer.name, layer) for layer in self.viewer.layers if isinstance(layer, Image)]

    def _colour_choices(self, _: Any = None) -> list[str]:
        table = self.track_table
        if table is None:
            return [PARTICLE]
        return [PARTICLE, *(str(c) for c in table.columns
                            if c != PARTICLE and table[c].dtype.kind in "iuf")]

    def _layers_changed(self, _: Any = None) -> None:
        self.image.reset_choices()

    def movie(self) -> tuple[Layer, Movie]:
        """The chosen image layer and its data as a movie.

        Raises
        ------
        ValueError
            When no image layer is chosen, or its shape is not (T, Y, X) or (T, Z, Y, X).
        """
        layer = self.image.value
        if layer is None:
            raise ValueError("open a movie first: the widget tracks an image layer")
        data = layer.data[0] if layer.multiscale else layer.data
        if layer.rgb or len(data.shape) not in (3, 4):
            raise ValueError(f"layer {layer.name!r} has shape {tuple(data.shape)}: tracking needs "
                             "a movie of shape (T, Y, X) or (T, Z, Y, X), one channel")
        return layer, open_movie(data)

    def current_frame(self, layer: Layer, movie: Movie) -> int:
        """The frame of ``layer`` (whose data is ``movie``) shown by the viewer's sliders."""
        position = layer.world_to_data(self.viewer.dims.point)
        return int(np.clip(np.round(position[0]), 0, len(movie) - 1))

    # Live preview.

    def schedule_preview(self, _: Any = None) -> None:
        """Detect the frame shown once the settings stop changing (after ``PREVIEW_DELAY_MS``)."""
        if self.preview.value:
            self._timer.start()

    @property
    def preview_pending(self) -> bool:
        """Whether a preview is scheduled or running."""
        return bool(self._timer.isActive()) or self._preview_worker is not None

    @_reporting
    def _start_preview(self) -> None:
        if self._preview_worker is not None:
            self._preview_again = True  # one more when the running one is done
            return
        layer, movie = self.movie()
        t = self.current_frame(layer, movie)
        worker = create_worker(frame_spots, movie, t, self.detection.values(), _start_thread=False,
                               _connect={"errored": self._failed})
        worker.returned.connect(lambda spots: self._show_preview(layer, spots))
        worker.finished.connect(self._preview_done)
        self._preview_worker = worker
        worker.start()

    def _preview_done(self) -> None:
        self._preview_worker = None
        if self._preview_again:
            self._preview_again = False
            self._start_preview()

    @_reporting
    def _show_preview(self, image: Layer, spots: pd.DataFrame) -> None:
        data, keywords, _ = spots_layer(spots, f"{image.name} preview", scale=image.scale,
                                        translate=image.translate, border_color=PREVIEW_COLOUR)
        layer = self.preview_layer
        if layer is None or layer not in self.viewer.layers or layer.ndim != data.shape[1]:
            self.preview_layer = self.viewer.add_points(data, **keywords)
            return
        for placing in ("scale", "translate"):  # each change of these redraws the layer
            if not np.array_equal(getattr(layer, placing), getattr(image, placing)):
                setattr(layer, placing, getattr(image, placing))
        layer.data = data
        layer.features = keywords["features"]

    # The whole movie.

    @_reporting
    def run(self, _: Any = None) -> None:
        """Detect and link the whole movie on a worker thread; the results become layers."""
        if self._run_worker is not None:
            return
        layer, movie = self.movie()
        detect, linking = self.detection.values(), self.linking.values()
        placed = {"scale": layer.scale, "translate": layer.translate}
        worker = create_worker(_run, movie, detect, linking, layer.name, self.colour.value, placed,
                               _start_thread=False, _connect={"errored": self._failed})
        worker.yielded.connect(self._advance)
        worker.returned.connect(self._show_results)
        worker.aborted.connect(self._cancelled)
        worker.finished.connect(self._run_done)
        self._run_worker = worker
        self.progress.max, self.progress.value = len(movie), 0
        self.status.value = "detecting"
        self.run_button.enabled, self.cancel_button.enabled = False, True
        worker.start()

    def cancel(self, _: Any = None) -> None:
        """Ask the running worker to stop; it does so after its current chunk of frames."""
        if self._run_worker is not None:
            self._run_worker.quit()
            self.status.value = "cancelling"

    @property
    def running(self) -> bool:
        """Whether a run is under way."""
        return self._run_worker is not None

    def _advance(self, done_total: tuple[int, int]) -> None:
        done, total = done_total
        self.progress.value = done
        if done == total:
            self.status.value = "linking"

    def _cancelled(self) -> None:
        self.status.value = "cancelled"

    def _run_done(self) -> None:
        self._run_worker = None
        self.run_button.enabled, self.cancel_button.enabled = True, False

    def _failed(self, error: BaseException) -> None:
        self.status.value = "failed"
        show_error(_message(error))

    @_reporting
    def _show_results(self, results: _Results) -> None:
        self.tracks, self.track_table = results.tracks, results.track_table
        self.colour.reset_choices()
        for layer in results.layers:
            for old in [l for l in self.viewer.layers if l.name == layer.name]:
                self.viewer.layers.remove(old)
            self.viewer.add_layer(layer)
        self.result_layers = results.layers
        tracks = results.tracks
        particles = tracks[PARTICLE].nunique()
        self.status.value = f"{len(tracks)} spots, {particles} particles"

    @_reporting
    def _recolour(self, _: Any = None) -> None:
        for layer in self.result_layers:
            if not isinstance(layer, Tracks) or layer not in self.viewer.layers:
                continue
            layer.color_by = "track_id" if self.colour.value == PARTICLE else self.colour.value

    # Export.

    def _result(self, table: pd.DataFrame | None) -> pd.DataFrame:
        if table is None:
            raise ValueError("nothing to save yet: run the tracking first")
        return table

    def save_tracks(self, path: str | Path) -> None:
        """Write the last run's track table (CSV or Parquet by suffix) with ``qt.save``."""
        save(self._result(self.tracks), path)

    def save_track_table(self, path: str | Path) -> None:
        """Write the last run's per-track table (one row per particle) with ``qt.save``."""
        save(self._result(self.track_table), path)

    @_reporting
    def _save_dialog(self, write: Callable[[str], None]) -> None:
        self._result(self.tracks)
        path, _ = QFileDialog.getSaveFileName(self.native, "Save table", "tracks.csv", FILE_FILTER)
        if path:
            write(path)
            show_info(f"saved {path}")

