// The localization window shared by 2-D and 3-D localization.
#pragma once

#include <cstdint>

namespace quorlin {

/// The window side (pixels or voxels per axis) when the caller gives none: a spot of the usual
/// width of one to two pixels fits inside with a ring of background around it.
inline constexpr std::uint64_t kDefaultWindowSize = 7;

}  // namespace quorlin
