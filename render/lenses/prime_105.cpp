// Lens Type 3, "105mm Prime": 30 mirrored pairs of random streaks, two nearly
// opposite bundles of five, a fan of 20 graded streaks and four vertical streaks
// through F; then 22 element groups: a large glow and rays at F and a long chain
// of small discs, rings and glows on both sides of the frame centre. Stamp
// points use the factor form C + d × k.
#include <cstdlib>

#include "render/lenses/lens_notation.h"
#include "render/lenses/lens_programs.h"
#include "render/profiles.h"

using namespace lens;

namespace {
// Blue of the ray glow: the fourth-power term in single precision plus the
// already truncated 85b³, trunc(((b × b × b) × b) × 5 + float(int16(85b³))).
int16_t RaysBlue(float b) {
  const int16_t t = Kb3(b, 85);
  return Trunc16((((b * b) * b) * b) * 5.0f + static_cast<float>(t));
}
}  // namespace

template <class Context>
void Prime105LensProgram(FlareFrame& frame, Context& context) {
  const LensGeometry g(frame);
  const int32_t W = g.W;
  const float b = g.b;
  const double Wd = g.Wd, bd = g.bd;
  const Point F = g.F;

  if (AbortRequested(context)) return;
  context.streakMode = 1;

  // Random pairs: the length is negated before it becomes Fix16, and the second
  // streak of a pair is the first mirrored through F.
  const float L = IntSize(W, 20, 100);
  for (int32_t i = 0; i < 30; ++i) {
    ReportProgress(context, i, 780);
    if (AbortRequested(context)) return;
    const Fix16 m = (-SprayLength(i, L, b)) * 65536;
    const int32_t p = FracMul30(m, FracSin30(i * 8192)) >> 16;
    const int32_t q = FracMul30(m, FracCos30(i * 8192)) >> 16;
    const float w = SprayWeight(i, 25.0f, b);
    Streak(F, {F.x - static_cast<float>(p), static_cast<float>(q) + F.y}, w, w, w, frame, context);
    Streak(F, {static_cast<float>(p) + F.x, F.y - static_cast<float>(q)}, w, w, w, frame, context);
  }

  // Fan lengths in whole pixels; the inner S7 × b + S7 is one value in both.
  const float S7 = IntSize(W, 7, 100);
  const float S7b = S7 * b + S7;
  const int32_t l2 = static_cast<int32_t>(S7b);
  const int32_t l3 = static_cast<int32_t>(S7 * 0.5f + S7b);

  // First fan: two bundles of five at twice ℓ2; 205322 is 565 units short of π,
  // so the bundles point in nearly opposite directions. From here on streaks
  // fade from their midpoints.
  context.streakMode = 2;
  const float v = std::fmin(1.0f, std::fabs(b / 25.0f));
  for (int32_t k = 0; k < 2; ++k) {
    ReportProgress(context, k + 2, 52);
    for (int32_t j = 0; j < 5; ++j) {
      if (AbortRequested(context)) return;
      const EndOffset e = StreakEnd(l2 * 131072, 6655 + 205322 * k + 511 * j);
      Streak(F, {static_cast<float>(e.x) + F.x, static_cast<float>(e.y) + F.y}, v, v, v, frame, context);
    }
  }

  // Second fan: 20 streaks, faintest in the middle; the x offset is subtracted.
  for (int32_t m = 0; m < 20; ++m) {
    if (AbortRequested(context)) return;
    ReportProgress(context, 62, 520);
    const EndOffset e = StreakEnd(l3 * 65536, 93193 + 511 * m);
    const float a = b / 355.0f;
    const float u = static_cast<float>(std::abs(10 - m)) / 355.0f;
    const float gw = std::fmin(1.0f, std::fabs(u * b + a));
    Streak(F, {F.x - static_cast<float>(e.x), static_cast<float>(e.y) + F.y}, a + gw, gw, gw, frame, context);
  }

  // Vertical streaks: half length h = ℓ3 >> 1 through the same Fix16 route (cos 0);
  // the matching x offset through sin 0 is 0, so every streak stays at x = Fx.
  const int32_t h = FracMul30(l3 * 32768, FracCos30(0)) >> 16;
  const float hf = static_cast<float>(h);
  const float blue1 = std::fmin(1.0f, std::fabs(b / 15.0f));
  Streak(F, {F.x, hf + F.y}, b / 9.0f, b * 0.125f, blue1, frame, context);
  Streak(F, {F.x, F.y - hf}, b / 9.0f, b * 0.125f, blue1, frame, context);
  Streak({F.x, F.y - static_cast<float>(h + h)}, {F.x, F.y - hf}, b * 0.125f, b * 0.125f, 0.0f, frame, context);
  Streak({F.x, static_cast<float>(static_cast<double>(F.y) - static_cast<double>(h) * 1.5)},
         {F.x, static_cast<float>(static_cast<double>(F.y) - static_cast<double>(h) * 0.75)}, 0.0f, b * 0.125f,
         b * 0.125f, frame, context);
  ReportProgress(context, 5, 27);

  // Elements: progress 6 to 27 of 27.
  ElementStamps<Context> stamps(frame, context, 27);
  const float Sa = DoubleSize(Wd * 0.04);
  BuildGlowProfile(Sa, Kb(b, 290), Kb(b, 320), Kb(b, 250), kSet, context);
  const float Sb = DoubleSize(Wd * 0.08);
  BuildGlowProfile(Sb, Kb(b, 290), Kb(b, 320), Kb(b, 250), kCombine, context);
  BuildGlowProfile(DoubleSize(Wd * 0.1 * (bd + 0.35)), KbPlus(b, 60, 20), KbPlus(b, 80, 10), KbPlus(b, 60, 10), kCombine, context);
  BuildGlowProfile(DoubleSize(Wd * 0.07 * (bd + 0.35)), KbPlus(b, 60, 20), KbPlus(b, 80, 10), KbPlus(b, 60, 10), kCombine, context);
  BuildGlowProfile(DoubleSize(Wd * 0.05 * (bd + 0.35)), KbPlus(b, 60, 20), KbPlus(b, 80, 10), KbPlus(b, 60, 10), kCombine, context);
  BuildGlowProfile(DoubleSize(Wd * 0.0075), 280, 280, 280, kCombine, context);
  BuildGlowProfile(IntSize(W, 1, 40), KbPlus(b, 25, 25), Kb(b, 1), Kb(b, 1), kCombine, context);
  BuildRingProfile(IntSize(W, 1, 10), Kb(b, 25), Kb(b, 3), Kb(b, 1), kCombine, IntWidth(W, 1, 100), context);
  if (!stamps.StampThenReport(F, IntSize(W, 1, 6), 6)) return;

  BuildGlowProfile(DoubleSize(Wd * 0.2 * (bd + 0.35) * bd * bd), KbPlus(b, 2, 2), KbPlus(b, 6, 6), KbPlus(b, 10, 10), kSet, context);
  BuildGlowProfile(DoubleSize(Wd * 0.25 * (bd + 0.35) * bd * bd), KbPlus(b, 2, 2), KbPlus(b, 6, 6), KbPlus(b, 10, 10), kCombine, context);
  BuildGlowProfile(DoubleSize(Wd * 0.3 * (bd + 0.35) * bd * bd), KbPlus(b, 2, 2), KbPlus(b, 6, 6), KbPlus(b, 10, 10), kCombine, context);
  const float Sc = DoubleSize(Wd * 0.09 * (bd + 0.35));
  BuildSoftDiscProfile(Sc, Kb(b, 10), Kb(b, 15), Kb(b, 35), kCombine, TruncWidth(static_cast<double>(Sc) * 1.8), context);
  const float Sd = DoubleSize(Wd * 0.11 * (bd + 0.35));
  BuildSoftDiscProfile(Sd, Kb(b, 10), Kb(b, 15), Kb(b, 35), kCombine, TruncWidth(static_cast<double>(Sd) * 1.8), context);
  BuildGlowProfile(DoubleSize(Wd * 0.45 * bd), Kb(b, 50), Kb(b, 35), Kb(b, 25), kCombine, context);
  const float Se = DoubleSize(Wd * 0.65 * bd);
  BuildGlowProfile(Se, Kb3(b, 80), Kb3(b, 82), RaysBlue(b), kCombine, context);
  if (!stamps.RaysThenReport(F, Se, 7)) return;

  BuildDiscProfile(DoubleSize(Wd * 0.027), Kb(b, 2), Kb(b, 10), Kb(b, 6), kSet, context);
  const float Sf = DoubleSize(Wd * 0.029);
  BuildRingProfile(Sf, Kb(b, 1), Kb(b, 6), Kb(b, 4), kCombine, IntWidth(W, 1, 42), context);
  if (!stamps.StampThenReport(g.Pk(-0.718), Sf, 8)) return;

  BuildDiscProfile(DoubleSize(Wd * 0.032), Kb(b, 2), Kb(b, 8), Kb(b, 4), kSet, context);
  const float Sg = DoubleSize(Wd * 0.039);
  BuildRingProfile(Sg, Kb(b, 1), Kb(b, 6), Kb(b, 4), kCombine, IntWidth(W, 1, 42), context);
  if (!stamps.StampThenReport(g.Pk(-0.218), Sg, 9)) return;

  const float Sh = DoubleSize(Wd * 0.015);
  BuildSoftDiscProfile(Sh, Kb(b, 1), Kb(b, 8), Kb(b, 2), kSet, IntWidth(W, 1, 4), context);
  const float Si = DoubleSize(Wd * 0.022);
  BuildDiscProfile(Si, Kb(b, 1), Kb(b, 8), Kb(b, 2), kCombine, context);
  BuildRingProfile(Si, Kb(b, 1), Kb(b, 2), Kb(b, 5), kCombine, IntWidth(W, 1, 50), context);
  if (!stamps.StampThenReport(g.Pk(0.48), Si, 10)) return;
  BuildDiscProfile(Si, Kb(b, 2), Kb(b, 2), 0, kCombine, context);
  if (!stamps.StampThenReport(g.Pk(0.58), Si, 11)) return;

  const float Sj = DoubleSize(Wd * 0.03);
  BuildGlowProfile(Sj, Kb(b, 30), Kb(b, 25), Kb(b, 6), kSet, context);
  if (!stamps.StampThenReport(g.Pk(0.51), Sj, 12)) return;

  const Point k118 = g.Pk(1.18);
  BuildDiscProfile(Sa, Kb(b, 8), Kb(b, 8), Kb(b, 5), kSet, context);
  if (!stamps.StampThenReport(k118, Sa, 13)) return;

  const float Sk = DoubleSize(Wd * 0.083);
  BuildDiscProfile(Sk, Kb(b, 8), Kb(b, 13), Kb(b, 5), kSet, context);
  if (!stamps.StampThenReport(g.Pk(1.88), Sk, 14)) return;

  BuildRimDiscProfile(Sa, Kb(b, 5), Kb(b, 13), Kb(b, 13), context);
  if (!stamps.StampThenReport(g.Pk(2), Sa, 15)) return;

  const float Sl = DoubleSize(Wd * 0.06);
  BuildDiscProfile(Sl, Kb(b, 20), Kb(b, 13), Kb(b, 13), kSet, context);
  if (!stamps.StampThenReport(g.Pk(1.9), Sl, 16)) return;

  BuildDiscProfile(Sb, 0, Kb(b, 10), Kb(b, 10), kSet, context);
  if (!stamps.StampThenReport(g.Pk(-1.5), Sb, 17)) return;

  const float Sm = DoubleSize(Wd * 0.013);
  BuildDiscProfile(Sm, Kb(b, 120), Kb(b, 100), Kb(b, 50), kSet, context);
  if (!stamps.StampThenReport(g.Pk(1.15), Sm, 18)) return;

  const float Sn = DoubleSize(Wd * 0.01);
  const Point k138 = g.Pk(1.38);
  BuildDiscProfile(Sn, Kb(b, 20), Kb(b, 45), Kb(b, 30), kSet, context);
  if (!stamps.Stamp(g.Pk(1.35), Sn) || !stamps.Stamp(g.Pk(1.41), Sn)) return;
  if (!stamps.StampThenReport(k138, Sn, 19)) return;

  const float So = DoubleSize(Wd * 0.018);
  BuildSoftDiscProfile(So, 0, 0, Kb(b, 90), kSet, 32, context);
  if (!stamps.Stamp(k138, So)) return;

  const float Sp = DoubleSize(Wd * 0.005);
  BuildGlowProfile(Sp, Kb(b, 140), Kb(b, 140), Kb(b, 140), kSet, context);
  if (!stamps.StampThenReport(k138, Sp, 20)) return;

  BuildGlowProfile(Sn, Kb(b, 240), Kb(b, 240), Kb(b, 240), kSet, context);
  if (!stamps.StampThenReport(k118, Sn, 21)) return;

  const float Sq = DoubleSize(Wd * 0.007);
  BuildGlowProfile(Sq, Kb(b, 30), Kb(b, 25), Kb(b, 5), kSet, context);
  BuildGlowProfile(DoubleSize(Wd * 0.006), Kb(b, 30), Kb(b, 25), Kb(b, 5), kCombine, context);
  BuildGlowProfile(DoubleSize(Wd * 0.003), Kb(b, 30), Kb(b, 25), Kb(b, 5), kCombine, context);
  BuildGlowProfile(Sn, Kb(b, 30), Kb(b, 25), Kb(b, 5), kCombine, context);
  BuildGlowProfile(Sh, Kb(b, 30), Kb(b, 25), Kb(b, 5), kCombine, context);
  if (!stamps.Stamp(g.Pk(-0.35), Sh)) return;
  BuildGlowProfile(DoubleSize(Wd * 0.0025), Kb(b, 150), Kb(b, 120), Kb(b, 40), kCombine, context);
  if (!stamps.StampThenReport(g.Pk(0.55), Sh, 22)) return;
  if (!stamps.Stamp(g.Pk(-2.5), Sh)) return;

  const float Sr = DoubleSize(Wd * 0.008);
  BuildDiscProfile(Sr, Kb(b, 4), Kb(b, 45), Kb(b, 25), kSet, context);
  if (!stamps.Stamp(g.Pk(-2.46), Sr)) return;
  if (!stamps.StampThenReport(g.Pk(-2.475), Sr, 23)) return;

  const float Ss = DoubleSize(Wd * 0.004);
  BuildGlowProfile(Ss, Kb(b, 10), Kb(b, 90), Kb(b, 100), kSet, context);
  if (!stamps.Stamp(g.Pk(-0.06), Ss)) return;
  if (!stamps.StampThenReport(g.Pk(-2.525), Ss, 24)) return;

  BuildDiscProfile(Sq, Kb(b, 4), Kb(b, 24), Kb(b, 30), kSet, context);
  if (!stamps.StampThenReport(g.Pk(-0.075), Sq, 25)) return;

  const float St = IntSize(W, 39, 100);
  BuildSoftDiscProfile(St, Kb(b, 7), Kb(b, 5), 0, kSet, TruncWidth(St * 0.015625f), context);
  if (!stamps.StampThenReport(g.Pk(-1.8), St, 26)) return;

  const float Su = IntSize(W, 10, 100);
  BuildSoftDiscProfile(Su, Kb(b, 7), Kb(b, 5), 0, kSet, TruncWidth(Su * 0.015625f), context);
  BuildSoftDiscProfile(L, Kb(b, 7), Kb(b, 5), 0, kCombine, TruncWidth(L * 0.015625f), context);
  if (!stamps.StampThenReport(g.Pk(0.5), L, 27)) return;
}

template void Prime105LensProgram(FlareFrame&, FlareContext&);
template void Prime105LensProgram(FlareFrame&, FullFlareContext&);
