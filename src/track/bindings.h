// The parts of quorlin_track._native: each concern registers its functions on the module.
#pragma once

#include <pybind11/pybind11.h>

namespace quorlin::track {

/// Maps the core's error types to Python exceptions for every function of the extension, and
/// tells the memory available (available_memory).
void bind_errors(pybind11::module_& m);

/// Pair sums per track and lag behind the mean squared displacements.
void bind_displacements(pybind11::module_& m);
/// Maximum-likelihood spot fits (refine_spots).
void bind_refine(pybind11::module_& m);

/// The band-pass prefilter (bandpass).
void bind_bandpass(pybind11::module_& m);
/// Limits the process-wide oneTBB pool (quorlin_track.set_threads and quorlin_track.threads).
void bind_threads(pybind11::module_& m);
/// Detection and localization of many frames at once, and the automatic threshold.
void bind_batch(pybind11::module_& m);

/// The default detection path: band-pass, noise threshold and spot measures (detect_spot_frames).
void bind_spots(pybind11::module_& m);

/// measure_volume_spots: the spot measures (mass, background, size, snr) of a volume's detections.
void bind_volume_spots(pybind11::module_& m);

/// Linking of a detection table into particle ids.
void bind_link(pybind11::module_& m);
/// The shape of each track's path (track_geometry), behind track_table.
void bind_tracks(pybind11::module_& m);

}  // namespace quorlin::track
