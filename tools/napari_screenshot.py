"""Makes docs/napari_widget.png: napari with the "Track particles" widget docked, after a run on
the built-in synthetic movie (tracks coloured by speed, the live preview on the frame shown).

    .venv/bin/python tools/napari_screenshot.py [--output docs/napari_widget.png]

Needs an X display for napari's OpenGL canvas; without one (no DISPLAY) it starts a virtual X
server (Xvfb, Debian package ``xvfb``) for the time it runs. Qt's X platform needs the XCB
libraries (Debian: ``libxcb-cursor0`` and the ``libxcb-*`` utility packages it lists when one is
missing).
"""

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WINDOW = (1500, 950)  # pixels: room for the canvas and the widget's controls
FRAME_SHOWN = 60
ZOOM = 2.0  # onto the middle of the field, where tracks and spots can be told apart
SCREEN_NUMBERS = range(90, 110)  # display numbers tried for the virtual server


PR_SET_PDEATHSIG = 1  # Linux prctl option: a signal sent to the process when its parent ends


def _end_with_this_script():
    """Runs in the server's process before it starts: the kernel ends the server when this script
    ends, also when Qt aborts it (as it does when a platform library is missing)."""
    import ctypes
    import signal

    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


@contextlib.contextmanager
def display():
    """The current X display, or a virtual one started for the block."""
    if os.environ.get("DISPLAY"):
        yield
        return
    server = shutil.which("Xvfb")
    if server is None:
        sys.exit("no X display and no Xvfb to start one: install xvfb or run under a display")
    for number in SCREEN_NUMBERS:
        if Path(f"/tmp/.X{number}-lock").exists():
            continue
        size = f"{WINDOW[0] + 100}x{WINDOW[1] + 100}x24"
        process = subprocess.Popen([server, f":{number}", "-screen", "0", size, "-nolisten", "tcp"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=_end_with_this_script)
        time.sleep(1.0)  # the server opens its socket
        if process.poll() is None:
            break
    else:
        sys.exit("could not start Xvfb on any of displays :90 to :109")
    os.environ["DISPLAY"] = f":{number}"
    try:
        yield
    finally:
        process.terminate()
        process.wait(10)


def settle(app, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        app.processEvents()
        time.sleep(0.01)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=str(ROOT / "docs" / "napari_widget.png"))
    args = parser.parse_args(argv)
    os.environ["QT_QPA_PLATFORM"] = "xcb"
    with display():
        import napari
        from qtpy.QtWidgets import QApplication

        from quorlin_track.napari._sample import synthetic_movie
        from quorlin_track.napari._widget import TrackWidget

        viewer = napari.Viewer(show=True, title="quorlin tracking")
        viewer.window.resize(*WINDOW)
        for data, keywords, _ in synthetic_movie():
            viewer.add_image(data, **keywords)
        widget = TrackWidget(viewer)
        viewer.window.add_dock_widget(widget, name="Track particles", area="right")
        app = QApplication.instance()
        widget["max_skip"].value = 1
        widget.run()
        while widget.running:
            settle(app, 0.05)
        widget.colour.value = "speed"
        viewer.dims.axis_labels = ("t", "y", "x")
        viewer.dims.set_current_step(0, FRAME_SHOWN)
        viewer.layers["synthetic movie spots"].visible = False  # the preview marks the same spots
        viewer.layers.selection.active = viewer.layers["synthetic movie tracks"]
        getattr(viewer, "scene", viewer).camera.zoom *= ZOOM  # napari 0.9 moved the camera
        settle(app, 2.0)
        viewer.screenshot(args.output, canvas_only=False, flash=False)
        viewer.close()
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
