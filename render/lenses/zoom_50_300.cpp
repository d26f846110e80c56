// Lens Type 1, "50-300mm Zoom": a spray of 190 random streaks from the flare
// centre, then sixteen element groups along the flare axis, the first of them
// the central glow at F.
#include "render/lenses/lens_notation.h"
#include "render/lenses/lens_programs.h"
#include "render/profiles.h"

using namespace lens;

template <class Context>
void Zoom50To300LensProgram(FlareFrame& frame, Context& context) {
  const LensGeometry g(frame);
  const int32_t W = g.W;
  const float b = g.b;
  const double Wd = g.Wd, bd = g.bd;

  if (AbortRequested(context)) return;

  // Spray: the first 190 of 760 progress steps; progress comes before the poll.
  const float L = IntSize(W, 20, 100);
  for (int32_t i = 0; i < 190; ++i) {
    ReportProgress(context, i, 760);
    if (AbortRequested(context)) return;
    const EndOffset e = StreakEnd(SprayLength(i, L, b) * 65536, i * 8192);
    const float w = SprayWeight(i, 25.0f, b);
    context.streakMode = 1;
    Streak(g.F, {static_cast<float>(e.x) + g.F.x, static_cast<float>(e.y) + g.F.y}, w, w, w, frame, context);
  }
  if (AbortRequested(context)) return;

  // Elements: progress 5 to 20 of 20, one step after each group's stamp.
  ElementStamps<Context> stamps(frame, context, 20);
  BuildGlowProfile(DoubleSize(Wd * 0.08 * (bd + 0.05)), 280, 280, 280, kSet, context);
  BuildGlowProfile(DoubleSize(Wd * 0.04), Kb(b, 250), Kb(b, 250), Kb(b, 250), kCombine, context);
  BuildRingProfile(IntSize(W, 9, 100), Kb2(b, 80), Kb2(b, 15), Kb2(b, 4), kCombine, IntWidth(W, 1, 42), context);
  BuildGlowProfile(DoubleSize(Wd * 0.14 * (bd + 0.35)), KbPlus(b, 100, 100), KbPlus(b, 15, 15), KbPlus(b, 17, 17), kCombine, context);
  const float Sa = DoubleSize(Wd * 0.5 * bd);
  BuildGlowProfile(Sa, Kb3(b, 70), Kb3(b, 60), Kb3(b, 65), kCombine, context);
  if (!stamps.StampThenReport(g.F, Sa, 5)) return;

  const float Sb = IntSize(W, 15, 100);
  BuildSoftDiscProfile(Sb, Kb(b, 5), Kb(b, 3), 0, kSet, TruncWidth(Sb * 0.125f), context);
  const float Sc = IntSize(W, 35, 100);
  BuildSoftDiscProfile(Sc, Kb(b, 10), Kb(b, 5), 0, kCombine, TruncWidth(Sc * 0.125f), context);
  if (!stamps.StampThenReport(g.P(-150), Sc, 6)) return;

  BuildDiscProfile(IntSize(W, 2, 100), Kb(b, 42), Kb(b, 20), Kb(b, 2), kSet, context);
  const float Sd = IntSize(W, 21, 1000);
  BuildRingProfile(Sd, Kb(b, 7), Kb(b, 3), Kb(b, 2), kCombine, IntWidth(W, 1, 42), context);
  if (!stamps.StampThenReport(g.P(-20), Sd, 7)) return;

  const float Se = IntSize(W, 7, 100);
  BuildRimDiscProfile(Se, Kb(b, 25), Kb(b, 15), 0, context);
  BuildDiscProfile(Se, Kb(b, 12), Kb(b, 6), 0, kCombine, context);
  if (!stamps.StampThenReport(g.P(45), Se, 8)) return;

  const float Sf = IntSize(W, 4, 100);
  BuildDiscProfile(Sf, Kb(b, 25), Kb(b, 15), 0, kSet, context);
  if (!stamps.StampThenReport(g.P(41), Sf, 9)) return;

  const float Sg = IntSize(W, 2, 100);
  BuildDiscProfile(Sg, Kb(b, 25), Kb(b, 15), 0, kSet, context);
  if (!stamps.StampThenReport(g.P(47), Sg, 10)) return;

  const float Sh = IntSize(W, 3, 100);
  BuildDiscProfile(Sh, Kb(b, 10), Kb(b, 30), Kb(b, 20), kSet, context);
  if (!stamps.StampThenReport(g.P(65), Sh, 11)) return;

  BuildGlowProfile(Sh, 0, Kb(b, 15), Kb(b, 120), kSet, context);
  if (!stamps.StampThenReport(g.P(67), Sh, 12)) return;

  BuildRimDiscProfile(Sf, Kb(b, 10), Kb(b, 25), Kb(b, 14), context);
  const float Si = IntSize(W, 41, 1000);
  BuildRingProfile(Si, Kb(b, 22), Kb(b, 5), 0, kCombine, IntWidth(W, 1, 42), context);
  if (!stamps.StampThenReport(g.P(-130), Si, 13)) return;

  const float Sj = IntSize(W, 1, 200);
  BuildGlowProfile(Sj, Kb(b, 100), Kb(b, 230), Kb(b, 150), kSet, context);
  const float Sk = IntSize(W, 1, 70);
  BuildGlowProfile(Sk, Kb(b, 50), Kb(b, 120), Kb(b, 100), kCombine, context);
  if (!stamps.StampThenReport(g.P(27), Sk, 14)) return;

  BuildGlowProfile(Sj, Kb(b, 100), Kb(b, 250), Kb(b, 190), kSet, context);
  if (!stamps.StampThenReport(g.P(-1), Sj, 15)) return;

  BuildDiscProfile(IntSize(W, 6, 100), 0, Kb(b, 5), Kb(b, 11), kSet, context);
  if (!stamps.StampThenReport(g.P(-45), IntSize(W, 6, 100), 16)) return;

  BuildDiscProfile(Sh, 0, Kb(b, 10), Kb(b, 18), kSet, context);
  if (!stamps.StampThenReport(g.P(-41), Sh, 17)) return;

  BuildDiscProfile(Sg, Kb(b, 6), Kb(b, 6), Kb(b, 15), kSet, context);
  if (!stamps.StampThenReport(g.P(-51), Sg, 18)) return;

  BuildRingProfile(IntSize(W, 190, 1000), Kb(b, 11), 0, Kb(b, 20), kSet, IntWidth(W, 1, 42), context);
  BuildRingProfile(IntSize(W, 195, 1000), Kb(b, 10), Kb(b, 18), Kb(b, 10), kCombine, IntWidth(W, 1, 42), context);
  const float Sl = IntSize(W, 200, 1000);
  BuildRingProfile(Sl, Kb(b, 20), Kb(b, 10), 0, kCombine, IntWidth(W, 1, 42), context);
  if (!stamps.StampThenReport(g.P(131), Sl, 19)) return;

  BuildRimDiscProfile(IntSize(W, 10, 100), Kb(b, 10), Kb(b, 22), 0, context);
  const float Sm = IntSize(W, 103, 1000);
  BuildRingProfile(Sm, Kb(b, 22), Kb(b, 5), 0, kCombine, IntWidth(W, 1, 42), context);
  if (!stamps.StampThenReport(g.CPlusD(), Sm, 20)) return;
}

template void Zoom50To300LensProgram(FlareFrame&, FlareContext&);
template void Zoom50To300LensProgram(FlareFrame&, FullFlareContext&);
