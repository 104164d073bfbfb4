// The detection threshold of a frame's significance set where its peaks outnumber its dips: noise
// gives as many dips as peaks of each size (so does texture), spots give peaks only.
#pragma once

#include <cstdint>
#include <vector>

#include "common/array_view.h"
#include "detect/peaks.h"

namespace quorlin {

/// The dips of a frame: its interior pixels (rows 1..R-2, columns 1..C-2) at or below -depth that
/// lie below each of their eight neighbours, in raster order (intensity: the value); pixels where
/// `skip` (one byte per pixel, row-major) is not 0 are passed over.
std::vector<Peak<2>> frame_dips(const View2<float>& frame, float depth, const std::uint8_t* skip);

/// The smallest threshold t among the peak values in [lowest, highest) at which the dips reaching
/// t, times `dip_weight`, plus one, are at most `false_share` times the peaks reaching t, and the
/// same holds, with `added_share`, of the peaks and dips in [t, highest) alone; `highest` when
/// there is none. Peaks and dips are sizes in noise sigmas (a dip's as a positive number);
/// `dip_weight` scales the dips counted over part of the frame to the whole. Taking the dips for
/// the peaks that noise alone would give, the share of false peaks kept stays near
/// `false_share`, and that among the peaks the threshold's fall adds near `added_share` (so a
/// frame of bright spots, which lets in many false ones by the first rule alone, gets no noise
/// for them); the one added makes a frame of noise, whose peaks and dips come in equal numbers,
/// keep its threshold at `highest`.
float balanced_threshold(std::vector<float> peaks, std::vector<float> dips, float dip_weight, float lowest,
                         float highest, float false_share, float added_share);

}  // namespace quorlin
