// Linking under a motion model: tracks carried forward frame by frame, each predicted where its
// own recent steps ("velocity") or the common drift of the field ("drift") take it, and every
// frame's points assigned exactly to the predictions of the tracks still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "link/linking.h"
#include "link/points.h"

namespace quorlin {

/// How a track's next position is predicted.
enum class MotionModel {
  velocity,  ///< from the track's own steps
  drift,     ///< from the velocity common to all tracks
};

/// The model called `name` ("velocity" or "drift"); ValueError naming motion otherwise.
MotionModel motion_model(std::string_view name);

/// The model, the gates (in the points' unit) and the frames a track may miss.
struct MotionSettings {
  MotionModel model = MotionModel::velocity;
  float max_distance = 0;      ///< gate around the predicted position of a track with a velocity
  float initial_distance = 0;  ///< gate around the last position of a track without one
  std::uint64_t max_skip = 0;  ///< frames a track may miss between two of its points
};

/// Links the stored points frame by frame under a motion model. Only stored frames cost anything:
/// frames without points are not stored, and gaps are differences of the store's frame numbers.
///
/// At each frame the tracks still open (their last point at most max_skip + 1 frames earlier) are
/// the sources and the frame's points the targets. A track with a velocity v is predicted at
/// x + v * gap from its last point x and gated by max_distance around that; a link costs its
/// distance to the prediction, in the integer units of link_cost. A track without a velocity is
/// gated by initial_distance around x; a link to q costs S * (d / initial_distance / 2 +
/// r / max_distance / 2), S being the no-link cost and d = |q - x|, where r is how close the
/// straight continuation of x -> q comes to a point of the next stored frames within reach
/// (max_skip + 1 frames), at most max_distance: of two candidates equally near, the one that the
/// next frames continue is taken. Staying unlinked costs S. The assignment of smallest total cost
/// is found exactly (the solvers and the tie rule of link_points_with), the intensity gate `gate`
/// applying to every link and continuation. Each frame's points then continue their source's
/// track or start a track of their own.
///
/// "velocity": a track has a velocity from its first link on: its last step per frame s scaled
/// by its persistence w, the regression of its steps on the steps before them (sums of
/// s_k . s_{k-1} over sums of |s_{k-1}|^2, older pairs weighted down by 0.9 a link, starting from
/// one pair of equal steps, so w = 1; clamped to [0, 1]). A directed track keeps w near 1, a
/// diffusing one, whose steps do not persist, near 0, where it is predicted where it was. This
/// is the steady-state form of a constant-velocity Kalman filter whose gain is learnt per track.
/// "drift": every track is predicted with the one velocity of the field: per axis the lower
/// median of the steps per frame of the previous frame's confident links (a source with one
/// candidate target that no other source reaches), of all its links where none is confident, kept
/// from earlier frames where a frame makes no link; before the first link no track has one.
///
/// `stopped`, when given, is asked between frames; once it answers true the links made so far are
/// returned (the caller discards them). The result is the same for any number of threads. Raises ValueError naming max_distance or
/// initial_distance where that is not a gate linking can price (as link_points); MemoryError
/// where a frame's candidates cannot be held.
template <std::size_t D, class Gate>
LinkTable link_table_moving(const PointStore<D>& store, const MotionSettings& settings,
                            const Gate& gate, const StopRequested& stopped = {});

}  // namespace quorlin
