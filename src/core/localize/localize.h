// The 2-D localization names under the header the user layer's extension includes: the pipeline
// (localize/detect_and_localize.h) and the 2-D window rules (localize/localize2d.h).
#pragma once

#include "localize/detect_and_localize.h"
#include "localize/localize2d.h"
