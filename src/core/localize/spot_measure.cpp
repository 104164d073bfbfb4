// Spots of a band-passed frame measured on the camera frame.
#include "localize/spot_measure.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "detect/balanced_threshold.h"
#include "detect/bandpass.h"
#include "localize/spot_image.h"
#include "localize/spot_locate.h"
#include "localize/spot_shape.h"

namespace quorlin {
namespace {

/// The ring whose noise a faint spot is checked against lies between these many half-windows from
/// it: beyond the dark halo the band-pass's background square leaves around a spot, near enough
/// to be the spot's own background.
constexpr std::int64_t kRingInner = 2;
constexpr std::int64_t kRingOuter = 4;
/// The dark halo the band-pass leaves around a bright peak reaches this many half-windows from it:
/// the background square's half-side, plus the spot's own width.
constexpr float kHaloWindows = 2.0f;
/// Dips say how many peaks noise gives only when at least this share of the frame lies clear of
/// the peaks' halos.
constexpr float kMinClearShare = 0.25f;
/// A lone wide spot is located on the camera's pixels (see wide_spot_centre) only where the
/// significance around it (its ring, see ring_spread) spreads at most this many times as widely as
/// the frame's: a cell's edge or texture under the window tilts the camera's pixels, which the
/// band-pass evens out. On camera movies of spots of width 2.2 on textured cells, 1.0, 1.1 and 1.3
/// gave 0.362, 0.369 and 0.384 px RMS (0.378 from the band-passed windows alone), on a flat
/// background 0.335, 0.328 and 0.321 (0.361).
constexpr float kWideMaxSpread = 1.1f;
/// Fewer ring pixels than this (a spot in a corner of a tiny frame) say nothing of the noise.
constexpr std::size_t kMinRingPixels = 16;

/// Whether the ball of radius `half` around p holds too little light for a spot: its mass below
/// kMassSigmas noise sigmas of a ball's sum, each pixel's noise variance that of the band-passed
/// value at p (from its significance) over `filter_gain`. Noise peaks near the threshold are
/// narrow bumps of the smoothed noise whose ball holds little light; faint spots spread theirs
/// over it.
bool without_mass(const View2<float>& frame, const View2<float>& filtered, const View2<float>& squared_significance,
                  const Index<2>& p, std::int64_t half, float background, double filter_gain) {
  const float value = filtered(p[0], p[1]);
  const auto variance = static_cast<float>(value * value / std::fabs(squared_significance(p[0], p[1])) / filter_gain);
  return !(mass_sigmas<2>(frame, p, half, background, variance) >= kMassSigmas);
}

/// The spread of the significance over the ring of pixels between kRingInner and kRingOuter
/// half-windows from the spot (beyond the band-pass's dark halo around it; other spots fill few
/// of them): the median |significance| there over that of normal noise. Pixels marked in `lit`
/// (one byte per pixel, row-major; empty: none) are passed over. None when the ring has too few
/// pixels in the frame.
std::optional<float> ring_spread(const View2<float>& squared_significance, const Index<2>& p, std::int64_t half,
                                 const std::vector<std::uint8_t>& lit) {
  thread_local std::vector<float> ring;
  ring.clear();
  const std::int64_t inner = kRingInner * half, outer = kRingOuter * half;
  for (std::int64_t r = p[0] - outer; r <= p[0] + outer; ++r) {
    for (std::int64_t c = p[1] - outer; c <= p[1] + outer; ++c) {
      if (std::max(std::abs(r - p[0]), std::abs(c - p[1])) <= inner || !inside<2>(squared_significance, {r, c}) ||
          (!lit.empty() && lit[static_cast<std::size_t>(r * static_cast<std::int64_t>(squared_significance.shape[1]) + c)]))
        continue;
      ring.push_back(std::fabs(squared_significance(r, c)));
    }
  }
  if (ring.size() < kMinRingPixels) return std::nullopt;
  return std::sqrt(median_of(ring)) / kMedianAbsNormal;
}

/// Marks the halo of the pixel (r, c) in `halos` (one byte per pixel of a rows x cols frame,
/// row-major): the square of kHaloWindows half-windows around it, cut by the frame.
void mark_halo(std::vector<std::uint8_t>& halos, std::int64_t rows, std::int64_t cols, std::int64_t r, std::int64_t c,
               std::int64_t half) {
  const auto reach = static_cast<std::int64_t>(kHaloWindows * static_cast<float>(half));
  for (std::int64_t i = std::max<std::int64_t>(r - reach, 0); i <= std::min(r + reach, rows - 1); ++i)
    std::fill(halos.begin() + i * cols + std::max<std::int64_t>(c - reach, 0),
              halos.begin() + i * cols + std::min(c + reach, cols - 1) + 1, std::uint8_t{1});
}

/// The sizes (noise sigmas, as positive numbers) of the dips of a frame's significance that noise
/// alone would give: those at least `lowest` deep and clear of every peak's halo and of missing
/// pixels, and the weight that scales their count to the whole frame; none where too little of
/// the frame lies clear. The band-pass leaves a dark halo around every bright peak (its background
/// square takes in the peak's light), deeper than the noise for a bright one. Single-pixel dips are
/// passed over, as single-pixel peaks are set apart: a dead or far noisier pixel gives them, far
/// deeper than the noise elsewhere, in every frame.
std::optional<std::pair<std::vector<float>, float>> noise_dips(const View2<float>& frame,
                                                               const View2<float>& squared_significance,
                                                               const std::vector<Peak<2>>& peaks, float lowest,
                                                               std::int64_t half, bool missing_pixels) {
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  thread_local std::vector<std::uint8_t> halo;
  halo.assign(static_cast<std::size_t>(rows * cols), 0);
  const auto mark = [&](std::int64_t r, std::int64_t c) { mark_halo(halo, rows, cols, r, c, half); };
  for (const Peak<2>& peak : peaks) mark(static_cast<std::int64_t>(peak.index[0]), static_cast<std::int64_t>(peak.index[1]));
  // The frame's edge pixels that reach `lowest` (a spot cut by the edge or just beyond it, a hot
  // pixel on it) leave their halos too, peaks or not.
  const float level = lowest * lowest;
  for_each_on_frame_edge(rows, cols, [&](std::int64_t r, std::int64_t c) {
    if (squared_significance(r, c) >= level) mark(r, c);
  });
  const auto clear = static_cast<float>(std::count(halo.begin(), halo.end(), std::uint8_t{0}));
  const auto pixels = static_cast<float>(rows * cols);
  if (!(clear >= kMinClearShare * pixels)) return std::nullopt;
  std::vector<float> sizes;
  for (const Peak<2>& dip : frame_dips(squared_significance, lowest * lowest, halo.data())) {
    const Index<2> p{static_cast<std::int64_t>(dip.index[0]), static_cast<std::int64_t>(dip.index[1])};
    if (missing_pixels && has_nan<2>(frame, p, 1)) continue;
    if (is_spike<2>(frame, p, border_median<2>(frame, p, half + 1), -1.0f)) continue;
    sizes.push_back(std::sqrt(-dip.intensity));
  }
  return std::pair{std::move(sizes), pixels / clear};
}

/// One byte per pixel of the frame (row-major), 1 within the halo (kHaloWindows half-windows, a
/// square) of a spot of at least `bright` sigmas, which skips the texture check: the light and
/// dark halo of such a neighbour tell nothing of the background's texture around a faint spot
/// (in a crowded frame they would fill its ring). Empty where there is none.
const std::vector<std::uint8_t>& bright_halos(const View2<float>& frame, const std::vector<Index<2>>& spots,
                                              const std::vector<float>& snrs, float bright, std::int64_t half) {
  thread_local std::vector<std::uint8_t> halos;
  halos.clear();
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  for (std::size_t i = 0; i < spots.size(); ++i) {
    if (!(snrs[i] >= bright)) continue;
    if (halos.empty()) halos.assign(static_cast<std::size_t>(rows * cols), 0);
    mark_halo(halos, rows, cols, spots[i][0], spots[i][1], half);
  }
  return halos;
}

}  // namespace

std::optional<float> frame_spread(const View2<float>& squared_significance) {
  thread_local std::vector<float> sample;
  sample.clear();
  const std::uint64_t pixels = squared_significance.shape[0] * squared_significance.shape[1];
  const auto step = static_cast<std::uint64_t>(
      std::max(1.0, std::floor(std::sqrt(static_cast<double>(pixels) / static_cast<double>(kSpreadSamples)))));
  for (std::uint64_t r = step / 2; r < squared_significance.shape[0]; r += step)
    for (std::uint64_t c = step / 2; c < squared_significance.shape[1]; c += step)
      sample.push_back(std::fabs(squared_significance(static_cast<std::int64_t>(r), static_cast<std::int64_t>(c))));
  if (sample.empty()) return std::nullopt;
  return std::sqrt(median_of(sample)) / kMedianAbsNormal;
}

FrameSpots measure_spots(const View2<float>& frame, const View2<float>& filtered,
                         const View2<float>& squared_significance, const std::vector<Peak<2>>& peaks,
                         const SpotSettings& settings) {
  const auto half = static_cast<std::int64_t>(settings.window / 2);
  FrameSpots out;
  const auto significance = [&](const Index<2>& p) {
    const float square = squared_significance(p[0], p[1]);
    return std::copysign(std::sqrt(std::fabs(square)), square);
  };
  // With the automatic threshold: the dips that noise alone would give, and the threshold of the
  // peaks' significance alone, below which no spot can be kept (setting peaks apart and the
  // texture check only take spots away, which never lowers the threshold).
  const float highest = settings.min_snr.value_or(0.0f), lowest = std::min(settings.lowest_snr, highest);
  std::optional<std::pair<std::vector<float>, float>> dips;
  const auto balanced = [&](const std::vector<float>& sizes) {
    return dips ? balanced_threshold(sizes, dips->first, dips->second, lowest, highest, kFalseSpotShare,
                                     kAddedFalseSpotShare) : highest;
  };
  float threshold = -std::numeric_limits<float>::infinity();
  // Peaks on the frame's edge (with the automatic threshold) include the light of particles just
  // beyond it: they take no part in balancing the threshold, and must reach its top.
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  const auto on_edge = [&](const Index<2>& p) { return !window_in_frame(frame, p, 1); };
  const auto needed = [&](const Index<2>& p) { return on_edge(p) ? std::max(threshold, highest) : threshold; };
  std::vector<float> sizes(peaks.size()), interior;
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    const Index<2> p{static_cast<std::int64_t>(peaks[i].index[0]), static_cast<std::int64_t>(peaks[i].index[1])};
    sizes[i] = significance(p);
    if (!on_edge(p)) interior.push_back(sizes[i]);
  }
  if (settings.min_snr) {
    dips = noise_dips(frame, squared_significance, peaks, lowest, half, settings.missing_pixels);
    threshold = balanced(interior);
  }
  // Set apart the peaks that are no spots, so that they crowd no one; they are counted once the
  // threshold is known.
  std::vector<Index<2>> kept;
  std::vector<float> backgrounds, snrs, missing, spikes;
  std::vector<Index<2>> spike_pixels;
  std::vector<std::uint8_t> kept_spike;  // with keep_hot_pixels: which kept spots are spikes
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    const Index<2> p{static_cast<std::int64_t>(peaks[i].index[0]), static_cast<std::int64_t>(peaks[i].index[1])};
    if (!(sizes[i] >= needed(p))) continue;
    if (settings.missing_pixels && has_nan<2>(frame, p, 1)) {
      missing.push_back(sizes[i]);
      continue;
    }
    const float background = border_median<2>(frame, p, half + 1);
    const bool spike = is_spike<2>(frame, p, background);
    if (!settings.keep_hot_pixels && spike) {
      spikes.push_back(sizes[i]);
      spike_pixels.push_back(brightest_near<2>(frame, p));
      continue;
    }
    if (settings.keep_hot_pixels) kept_spike.push_back(spike);
    kept.push_back(p);
    backgrounds.push_back(background);
    snrs.push_back(sizes[i]);
  }
  // The kept spikes, stuck pixels of the camera, are no sign of faint spots: the threshold is
  // balanced on the other spots alone (the dips of spikes are passed over too, see noise_dips), and
  // on those off the edge.
  const auto balanced_kept = [&] {
    std::vector<float> counted;
    for (std::size_t i = 0; i < kept.size(); ++i)
      if (!(settings.keep_hot_pixels && kept_spike[i]) && !on_edge(kept[i])) counted.push_back(snrs[i]);
    return balanced(counted);
  };
  if (settings.min_snr) {
    threshold = balanced_kept();
    const std::vector<std::uint8_t>* lit = nullptr;  // made at the first spot checked
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (!(snrs[i] >= needed(kept[i]))) {
        snrs[i] = -std::numeric_limits<float>::infinity();
      } else if (settings.typical_spread && snrs[i] < kTextureCheck * highest) {
        if (!lit) lit = &bright_halos(frame, kept, snrs, kTextureCheck * highest, half);
        const auto spread = ring_spread(squared_significance, kept[i], half, *lit);
        if (spread && *spread > *settings.typical_spread) snrs[i] *= *settings.typical_spread / *spread;
      }
    }
    threshold = balanced_kept();
    std::size_t n = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (!(snrs[i] >= needed(kept[i]))) continue;
      // Below the threshold's top, a spot must hold the light of one too.
      if (significance(kept[i]) < highest &&
          without_mass(frame, filtered, squared_significance, kept[i], half, backgrounds[i], settings.filter_gain))
        continue;
      kept[n] = kept[i];
      backgrounds[n] = backgrounds[i];
      snrs[n++] = snrs[i];
    }
    kept.resize(n);
    backgrounds.resize(n);
    snrs.resize(n);
  }
  const auto reaching = [&](const std::vector<float>& sizes) {
    return static_cast<std::uint64_t>(std::count_if(sizes.begin(), sizes.end(), [&](float v) { return v >= threshold; }));
  };
  out.dropped_nan = reaching(missing);
  out.dropped_hot = reaching(spikes);
  // Crowding: each spot's neighbours among the kept ones, through the kept spots ordered by row (a
  // band of rows is searched for each). A spot is crowded when one lies within `reach`; its
  // neighbours within `glow` are then taken out of its window (beyond a half-window more, a
  // neighbour's light barely reaches the window).
  const float reach = kCrowdedWindows * static_cast<float>(settings.window);
  const float glow = reach + static_cast<float>(half);
  const auto span = static_cast<std::int64_t>(std::ceil(glow));
  std::vector<std::size_t> by_row(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) by_row[i] = i;
  std::stable_sort(by_row.begin(), by_row.end(),
                   [&](std::size_t a, std::size_t b) { return kept[a][0] < kept[b][0]; });
  std::optional<BandpassImpulse> impulse;
  if (!spike_pixels.empty()) impulse.emplace(settings.noise_size, static_cast<double>(half));
  std::vector<std::vector<std::size_t>> neighbours(kept.size());
  std::vector<WindowState> states(kept.size());
  std::vector<std::array<float, 2>> offsets(kept.size());
  std::vector<Locator> how(kept.size());
  std::vector<std::uint8_t> movable(kept.size(), 0);
  std::vector<std::uint8_t> crowded(kept.size(), 0);
  std::vector<float> lone_widths, crowded_widths;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const Index<2> p = kept[i];
    const auto first = std::lower_bound(by_row.begin(), by_row.end(), p[0] - span,
                                        [&](std::size_t k, std::int64_t row) { return kept[k][0] < row; });
    for (auto it = first; it != by_row.end() && kept[*it][0] <= p[0] + span; ++it) {
      if (*it == i) continue;
      const auto dr = static_cast<float>(kept[*it][0] - p[0]);
      const auto dc = static_cast<float>(kept[*it][1] - p[1]);
      const float distance2 = dr * dr + dc * dc;
      crowded[i] = crowded[i] || distance2 < reach * reach;
      if (distance2 <= glow * glow) neighbours[i].push_back(*it);
    }
    states[i] = window_state(frame, p, half, settings.missing_pixels, spike_pixels);
    movable[i] = states[i].clean() && !neighbours[i].empty() ? (crowded[i] ? 2 : 1) : 0;
    if (states[i].clean())
      if (const auto width = peak_width(filtered, p)) (crowded[i] ? crowded_widths : lone_widths).push_back(*width);
  }
  // The spots' width: the median over the lone spots' peaks (the same optics image them all; a
  // crowded peak is widened by its neighbour's light, and counts only where no spot is alone).
  const std::vector<float>& widths = lone_widths.empty() ? crowded_widths : lone_widths;
  const std::optional<float> peak = widths.empty() ? std::nullopt : std::optional<float>(median_of(widths));
  const double mask = mask_width(peak, half);
  // Spots wider than the window suits, with no neighbour in reach and a background around them no
  // more textured than the frame's, are located again on the camera's pixels, in a window as wide
  // as they are.
  const std::int64_t wide = wide_half(peak, half);
  const std::optional<float> typical_spread =
      wide > half && !settings.typical_spread ? frame_spread(squared_significance) : settings.typical_spread;
  const std::vector<std::uint8_t> none_lit;
  const auto evenly_lit = [&](const Index<2>& p) {
    const auto spread = typical_spread ? ring_spread(squared_significance, p, half, none_lit) : std::nullopt;
    return !spread || *spread <= kWideMaxSpread * *typical_spread;
  };
  for (std::size_t i = 0; i < kept.size(); ++i) {
    std::tie(offsets[i], how[i]) = locate_spot(frame, filtered, kept[i], half, crowded[i] != 0, states[i], backgrounds[i],
                                               spike_pixels, impulse, mask);
    if (wide > half && how[i] == Locator::radial_symmetry && neighbours[i].empty() && evenly_lit(kept[i]))
      if (const auto centre = wide_spot_centre(frame, kept[i], wide, backgrounds[i], *peak, offsets[i],
                                               settings.missing_pixels, spike_pixels))
        offsets[i] = *centre;
  }
  if (peak && std::any_of(movable.begin(), movable.end(), [](std::uint8_t m) { return m != 0; })) {
    if (const auto width = SpotImage::for_peak_width(*peak, settings.noise_size, half))
      locate_beside_neighbours(frame, filtered, kept, neighbours, movable, SpotImage(*width, settings.noise_size, half),
                               half, spike_pixels, impulse, mask, offsets);
  }
  out.spots.reserve(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const Index<2> p = kept[i];
    Spot s;
    s.y = static_cast<float>(p[0]) + offsets[i][0];
    s.x = static_cast<float>(p[1]) + offsets[i][1];
    // A position beyond the frame's outermost pixel centres is a particle's outside the frame,
    // whose light reaches in (its peak on or beside the edge). A peak on the edge itself is kept
    // only where the fit on the camera's pixels placed it: no other estimate tells the two apart.
    // (Such spots' light is still taken out of their neighbours' windows.)
    if (!(s.y >= 0.0f && s.y <= static_cast<float>(rows - 1) && s.x >= 0.0f && s.x <= static_cast<float>(cols - 1)) ||
        (on_edge(p) && how[i] != Locator::gaussian))
      continue;
    s.signal = filtered(p[0], p[1]);
    s.background = backgrounds[i];
    std::tie(s.mass, s.size) = mass_and_size<2>(frame, p, half, s.background, {s.y, s.x});
    s.snr = snrs[i];
    s.located_by = how[i];
    out.spots.push_back(s);
  }
  return out;
}

}  // namespace quorlin
