// Lens Type 2, "35mm Prime": 30 random streaks, a regular fan of 120 streaks in
// 24 groups of five, then eleven element groups: the central glow at F, a chain
// beyond the frame centre and a chain beyond F.
#include "render/lenses/lens_notation.h"
#include "render/lenses/lens_programs.h"
#include "render/profiles.h"

using namespace lens;

template <class Context>
void Prime35LensProgram(FlareFrame& frame, Context& context) {
  const LensGeometry g(frame);
  const int32_t W = g.W;
  const float b = g.b;
  const double Wd = g.Wd, bd = g.bd;

  if (AbortRequested(context)) return;
  context.streakMode = 1;

  // Random spray: the poll comes before the progress report here.
  const float L = IntSize(W, 20, 100);
  for (int32_t i = 0; i < 30; ++i) {
    if (AbortRequested(context)) return;
    ReportProgress(context, i, 510);
    const EndOffset e = StreakEnd(SprayLength(i, L, b) * 65536, i * 8192);
    const float w = SprayWeight(i, 15.0f, b);
    Streak(g.F, {static_cast<float>(e.x) + g.F.x, static_cast<float>(e.y) + g.F.y}, w, w, w, frame, context);
  }

  // Fan: one length and one weight for all 120 streaks; 34314 is π/6 in Fix16
  // rounded down, so 24 group steps make two turns and each direction is drawn
  // twice. The fan polls for a cancel only once it is complete.
  const float Sg = IntSize(W, 7, 100);
  const Fix16 fanLength = static_cast<int32_t>(Sg * b + Sg) * 65536;
  const float w2 = std::fmin(1.0f, std::fabs(b * 0.03125f));
  for (int32_t k = 0; k < 24; ++k) {
    ReportProgress(context, k + 24, 408);
    for (int32_t j = 0; j < 5; ++j) {
      const EndOffset e = StreakEnd(fanLength, 8447 + 34314 * k + 1279 * j);
      Streak(g.F, {static_cast<float>(e.x) + g.F.x, static_cast<float>(e.y) + g.F.y}, w2, w2, w2, frame, context);
    }
  }
  if (AbortRequested(context)) return;

  // Elements: progress 3 to 17 of 17, one step after each stamp.
  ElementStamps<Context> stamps(frame, context, 17);
  BuildGlowProfile(DoubleSize(Wd * 0.08 * (bd + 0.05)), 280, 280, 280, kSet, context);
  BuildGlowProfile(DoubleSize(Wd * 0.04), Kb(b, 250), Kb(b, 550), Kb(b, 250), kCombine, context);
  BuildRingProfile(IntSize(W, 9, 100), Kb2(b, 80), Kb2(b, 15), Kb2(b, 4), kCombine, IntWidth(W, 1, 42), context);
  BuildGlowProfile(DoubleSize(Wd * 0.14 * (bd + 0.35)), KbPlus(b, 100, 100), KbPlus(b, 15, 15), KbPlus(b, 17, 17), kCombine, context);
  const float Sa = DoubleSize(Wd * 0.5 * bd);
  BuildGlowProfile(Sa, Kb3(b, 70), Kb3(b, 60), Kb3(b, 65), kCombine, context);
  if (!stamps.StampThenReport(g.F, Sa, 3)) return;

  const float Sb = IntSize(W, 1, 200);
  BuildGlowProfile(Sb, Kb(b, 100), Kb(b, 230), Kb(b, 150), kSet, context);
  const float Sc = IntSize(W, 1, 70);
  BuildGlowProfile(Sc, Kb(b, 50), Kb(b, 120), Kb(b, 100), kCombine, context);
  if (!stamps.StampThenReport(g.P(57), Sc, 4)) return;

  const float Sd = IntSize(W, 1, 50);
  BuildGlowProfile(Sd, Kb(b, 75), Kb(b, 45), Kb(b, 50), kSet, context);
  if (!stamps.StampThenReport(g.AxisFraction(7, 10), Sd, 5)) return;  // t = 70, as C + (d × 7) / 10

  BuildRingProfile(IntSize(W, 16, 100), Kb(b, 12), Kb(b, 3), Kb(b, 2), kSet, IntWidth(W, 1, 25), context);
  BuildGlowProfile(IntSize(W, 14, 100), Kb(b, 20), Kb(b, 10), 0, kCombine, context);
  const float Se = IntSize(W, 20, 100);
  BuildSoftDiscProfile(Se, Kb(b, 9), Kb(b, 27), Kb(b, 20), kCombine, 64, context);
  if (!stamps.StampThenReport(g.P(90), Se, 6)) return;

  const float Sf = IntSize(W, 10, 100);
  BuildGlowProfile(Sf, Kb(b, 10), Kb(b, 5), 0, kSet, context);
  if (!stamps.StampThenReport(g.P(98), Sf, 7)) return;

  BuildGlowProfile(Sg, Kb(b, 10), Kb(b, 5), 0, kSet, context);
  if (!stamps.StampThenReport(g.P(105), Sg, 8)) return;

  BuildGlowProfile(Sg, Kb(b, 15), Kb(b, 7), 0, kSet, context);
  if (!stamps.StampThenReport(g.P(110), Sg, 9)) return;

  const float Sh = IntSize(W, 5, 100);
  BuildSoftDiscProfile(Sh, Kb(b, 5), Kb(b, 5), Kb(b, 20), kSet, IntWidth(W, 5, 100), context);
  if (!stamps.StampThenReport(g.P(-30), Sh, 10)) return;

  const float Si = IntSize(W, 3, 100);
  BuildDiscProfile(Si, Kb(b, 5), Kb(b, 5), Kb(b, 20), kSet, context);
  if (!stamps.StampThenReport(g.P(-34), Si, 11)) return;

  const float Sj = IntSize(W, 2, 100);
  BuildSoftDiscProfile(Sj, 0, Kb(b, 35), Kb(b, 40), kSet, IntWidth(W, 5, 100), context);
  if (!stamps.StampThenReport(g.P(-174), Sj, 12)) return;
  if (!stamps.StampThenReport(g.P(-180), Sj, 13)) return;

  const float Sk = IntSize(W, 4, 100);
  BuildSoftDiscProfile(Sk, 0, Kb(b, 10), Kb(b, 12), kSet, IntWidth(W, 5, 100), context);
  if (!stamps.StampThenReport(g.P(-205), Sk, 14)) return;
  if (!stamps.StampThenReport(g.P(-210), Sk, 15)) return;
  if (!stamps.StampThenReport(g.P(-215), Sk, 16)) return;
  if (!stamps.StampThenReport(g.P(-200), Sk, 17)) return;
}

template void Prime35LensProgram(FlareFrame&, FlareContext&);
template void Prime35LensProgram(FlareFrame&, FullFlareContext&);
