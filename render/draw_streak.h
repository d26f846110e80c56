// Streak drawing: a thin anti-aliased line screened straight into the frame on
// the calling thread, fading with distance from its start or its midpoint.
#pragma once

#include "render/flare_context.h"
#include "render/full_context.h"

struct StreakRecord {
  float startX;     // square-pixel space
  float startY;
  float endX;       // square-pixel space
  float endY;
  float red;        // weights 0..1
  float thickness;  // full thickness in pixels
  float green;
  float blue;
};

inline constexpr float kStreakThickness = 1.8f;

void DrawStreak(const StreakRecord& streak, const FlareFrame& frame, FlareContext& context);
void DrawStreak(const StreakRecord& streak, const FlareFrame& frame, FullFlareContext& context);
