// quorlin_track._native: the kernels behind quorlin_track that the raw module does not expose.
#include "bindings.h"

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native kernels of quorlin_track (private; use the functions of quorlin_track).";
  quorlin::track::bind_errors(m);
  quorlin::track::bind_displacements(m);
  quorlin::track::bind_refine(m);
  quorlin::track::bind_bandpass(m);
  quorlin::track::bind_threads(m);
  quorlin::track::bind_batch(m);
  quorlin::track::bind_spots(m);
  quorlin::track::bind_volume_spots(m);
  quorlin::track::bind_link(m);
  quorlin::track::bind_tracks(m);
}
