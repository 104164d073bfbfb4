// The detection threshold of a frame's significance set where its peaks outnumber its dips: noise
// gives as many dips as peaks of each size (so does texture), spots give peaks only.
#pragma once

#include <vector>

namespace quorlin {

/// The smallest threshold t among the peak values in [lowest, highest] at which the dips reaching
/// t, times `dip_weight`, plus one, are at most `false_share` times the peaks reaching t; `highest`
/// when there is none. Peaks and dips are sizes in noise sigmas (a dip's as a positive number);
/// `dip_weight` scales the dips counted over part of the frame to the whole. Taking the dips for
/// the peaks that noise alone would give, the share of false peaks kept stays near
/// `false_share`; the one added makes a frame of noise, whose peaks and dips come in equal
/// numbers, keep its threshold at `highest`.
float balanced_threshold(std::vector<float> peaks, std::vector<float> dips, float dip_weight, float lowest,
                         float highest, float false_share);

}  // namespace quorlin
