// Stuck (hot) pixels of a camera, found once on the mean of a movie's frames, and painted over in
// each frame before its spots are looked for.
#pragma once

#include <cstdint>
#include <vector>

#include "common/array_view.h"
#include "localize/spot_shape.h"

namespace quorlin {

/// The stuck pixels of a camera, row by row, found on `mean`, the mean of several frames spread
/// over a movie: a pixel stands far above its neighbours there only if it does so frame after
/// frame, while moving particles blur into their surroundings and noise averages down. A stuck
/// pixel is a local maximum of the mean that passes the single-pixel spike test (its neighbours
/// hold less than its own height above the background) and stands kStuckSigmas noise sigmas of
/// the mean above the background (hot), or the same below it (dead). None when the mean is smaller than 3 x 3 or has no noise.
std::vector<Index<2>> find_stuck_pixels(const View2<float>& mean);

/// The stuck pixels sorted row by row, each once; ValueError when one lies outside a (rows, cols)
/// frame.
std::vector<Index<2>> stuck_in_frame(std::vector<Index<2>> stuck, std::uint64_t rows, std::uint64_t cols);

/// Gives each of the (row-by-row sorted, in-frame) stuck pixels of a contiguous (rows, cols)
/// frame the median of its finite neighbours in the frame that are not stuck themselves; one
/// with no such neighbour keeps its value. Every new value is taken from the frame as it was.
void paint_over_stuck(float* frame, std::uint64_t rows, std::uint64_t cols, const std::vector<Index<2>>& stuck);

}  // namespace quorlin
