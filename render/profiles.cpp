#include "render/profiles.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "render/screen_blend.h"
#include "render/truncate.h"

// Every builder writes only samples 0 .. profileLength - 1: shape loops also stop
// at the profile's end, and clear starts are kept within it. A NaN size is read
// as 0; infinite sizes reach the usual cut at the profile's end.

namespace {

// clamp(x, lo, hi) = min(hi, max(lo, x)); NaN lands on lo.
inline float Clamp(float x, float lo, float hi) {
  const float raised = x > lo ? x : lo;
  return raised < hi ? raised : hi;
}

inline float MinF(float a, float b) { return b < a ? b : a; }
inline float MaxF(float a, float b) { return b > a ? b : a; }

inline float SanitizedSize(float size) { return size == size ? size : 0.0f; }

// The exact kit's samples: 8-bit values, truncated on the way in.
struct ByteSamples {
  uint8_t* channel[3];

  explicit ByteSamples(FlareContext& context)
      : channel{context.profileRed, context.profileGreen, context.profileBlue} {}

  void Clear(int32_t from, size_t count) const {
    for (uint8_t* buffer : channel) std::memset(buffer + from, 0, count);
  }
  // Set stores trunc(v); combine screens with the truncated complement 255 - v.
  void Put(int c, int32_t k, float v, bool combineMode) const {
    uint8_t& sample = channel[c][k];
    if (!combineMode) {
      sample = static_cast<uint8_t>(static_cast<int32_t>(v));
    } else {
      const uint32_t complement = static_cast<uint32_t>(static_cast<int32_t>(255.0f - v));
      sample = static_cast<uint8_t>(ScreenComplements(complement, 255u - sample));
    }
  }
  // The glow's float screen, all single precision.
  void PutGlow(int c, int32_t k, float v, bool combineMode) const {
    uint8_t& sample = channel[c][k];
    sample = combineMode ? static_cast<uint8_t>(static_cast<int32_t>(
                               255.0f - (255.0f - static_cast<float>(sample)) * (255.0f - v) / 255.0f))
                         : static_cast<uint8_t>(static_cast<int32_t>(v));
  }
  void PutRim(int c, int32_t k, float v) const { channel[c][k] = static_cast<uint8_t>(static_cast<int32_t>(v)); }
};

// The full-precision kit's samples: the same levels as shares of 255, kept
// whole; each truncation of the exact kit is drawn as what it gives on average
// (full_context.h), each screen as 1 - (1 - a)(1 - s).
struct FloatSamples {
  float* channel[3];

  explicit FloatSamples(FullFlareContext& context)
      : channel{context.profile[0], context.profile[1], context.profile[2]} {}

  void Clear(int32_t from, size_t count) const {
    for (float* buffer : channel) std::fill(buffer + from, buffer + from + count, 0.0f);
  }
  void Put(int c, int32_t k, float v, bool combineMode) const {
    float& sample = channel[c][k];
    sample = combineMode ? ScreenShare(RaisedMean(v) / 255.0f, sample) : TruncatedMean(v) / 255.0f;
  }
  void PutGlow(int c, int32_t k, float v, bool combineMode) const {
    float& sample = channel[c][k];
    sample = combineMode ? TruncatedMean(255.0f * ScreenShare(v / 255.0f, sample)) / 255.0f : TruncatedMean(v) / 255.0f;
  }
  void PutRim(int c, int32_t k, float v) const { channel[c][k] = TruncatedMean(v) / 255.0f; }
};

// The profile being written: the kit's three channel buffers and the shape's colour.
template <class Samples>
struct ProfileWriter {
  Samples samples;
  int32_t length;
  float redChannel, greenChannel, blueChannel;
  bool combine;

  template <class Context>
  ProfileWriter(Context& context, int16_t r, int16_t g, int16_t b, bool combineMode)
      : samples(context), length(ProfileLengthOf(context)), redChannel(r), greenChannel(g), blueChannel(b),
        combine(combineMode) {}

  static int32_t ProfileLengthOf(FlareContext& context) { return context.profileLength; }
  static int32_t ProfileLengthOf(FullFlareContext& context) { return context.shared().profileLength; }

  // Set mode's clear of samples from..length-1 in all three buffers.
  void ClearFrom(int32_t from) const {
    if (from < 0) from = 0;
    if (from >= length) return;
    samples.Clear(from, static_cast<size_t>(length - from));
  }

  // Stores shape factor `a` (0..255) scaled by each channel: v = clamp(ch x a / 256).
  void PutScaled(int32_t k, float a) const {
    samples.Put(0, k, Clamp(redChannel * a * 0.00390625f, 0.0f, 255.0f), combine);
    samples.Put(1, k, Clamp(greenChannel * a * 0.00390625f, 0.0f, 255.0f), combine);
    samples.Put(2, k, Clamp(blueChannel * a * 0.00390625f, 0.0f, 255.0f), combine);
  }
};

template <class Samples, class Context>
void Disc(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine, Context& context) {
  ProfileWriter<Samples> out(context, red, green, blue, combine != 0);
  int32_t n = TruncToInt32(4.0f * SanitizedSize(size));
  if (n > out.length) n = out.length;
  if (!out.combine) out.ClearFrom(n);
  if (n < 1) return;
  // Flat up to sample n - 8, then the last seven samples step down by 32: an
  // anti-aliased edge two pixels wide.
  for (int32_t k = 0; k < n; ++k) {
    const float e = Clamp(static_cast<float>(k - (n - 8)), 0.0f, 8.0f);
    const float a = MaxF(0.0f, 255.0f - 32.0f * e);
    out.PutScaled(k, a);
  }
}

template <class Samples, class Context>
void SoftDisc(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine, int16_t width,
              Context& context) {
  ProfileWriter<Samples> out(context, red, green, blue, combine != 0);
  const float outer = MinF(static_cast<float>(out.length), 4.0f * SanitizedSize(size));
  const int32_t band = width > 4 ? width : 4;
  // The one double-precision division of the builders.
  const float step = static_cast<float>(256.0 / band);
  if (!out.combine) out.ClearFrom(TruncToInt32(outer));
  if (outer <= 0.0f) return;
  const float flatEnd = outer - static_cast<float>(band);
  for (int32_t k = 0; k < out.length && static_cast<float>(k) < outer; ++k) {
    const float e = MaxF(0.0f, static_cast<float>(k) - flatEnd);
    out.PutScaled(k, Clamp(255.0f - e * step, 0.0f, 255.0f));
  }
}

template <class Samples, class Context>
void Ring(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine, int16_t width,
          Context& context) {
  ProfileWriter<Samples> out(context, red, green, blue, combine != 0);
  const float outer = MinF(static_cast<float>(out.length), 4.0f * SanitizedSize(size));
  const int32_t band = width > 4 ? width : 4;
  const float bandF = static_cast<float>(band);
  const float step = 256.0f / bandF;
  if (!out.combine) out.ClearFrom(TruncToInt32(outer));
  if (outer <= 0.0f) return;
  // Triangle peaking at outer - band; its outer foot sits exactly at outer.
  const float peak = outer - bandF;
  for (int32_t k = 0; k < out.length && static_cast<float>(k) < outer; ++k) {
    const float d = MinF(bandF, std::fabs(static_cast<float>(k) - peak));
    out.PutScaled(k, Clamp(255.0f - d * step, 0.0f, 255.0f));
  }
}

template <class Samples, class Context>
void RimDisc(float size, int16_t red, int16_t green, int16_t blue, Context& context) {
  size = SanitizedSize(size);
  Disc<Samples>(size, red, green, blue, 0, context);
  ProfileWriter<Samples> out(context, red, green, blue, false);
  const float rim = MaxF(4.0f, MinF(static_cast<float>(out.length), 4.0f * size - 8.0f));
  const float channels[3] = {out.redChannel, out.greenChannel, out.blueChannel};
  // Dark centre brightening as (k + 1)^2 towards the rim; overwrites the disc and
  // never combines. i x i is a 32-bit product (it wraps only far beyond any rim a
  // frame of 16-bit width asks for).
  for (int32_t i = 1; i - 1 < out.length && static_cast<float>(i - 1) < rim; ++i) {
    const int32_t square = static_cast<int32_t>(static_cast<uint32_t>(i) * static_cast<uint32_t>(i));
    const float f = Clamp(static_cast<float>(square) / rim, 0.0f, rim);
    for (int c = 0; c < 3; ++c) {
      float v = channels[c] * f / rim;
      if (v <= 0.0f) v = 1.0f;
      v = MinF(255.0f, v);
      out.samples.PutRim(c, i - 1, v);
    }
  }
}

template <class Samples, class Context>
void Glow(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine, Context& context) {
  ProfileWriter<Samples> out(context, red, green, blue, combine != 0);
  const float outer =
      MaxF(4.0f, MinF(static_cast<float>(out.length), 4.0f * SanitizedSize(size)));
  if (!out.combine) out.ClearFrom(TruncToInt32(outer));
  const float channels[3] = {out.redChannel, out.greenChannel, out.blueChannel};
  // Quadratic fall-off (outer - k - 1)^2 / outer^2 from the centre.
  for (int32_t i = 1; i - 1 < out.length && static_cast<float>(i - 1) < outer; ++i) {
    const float d = outer - static_cast<float>(i);
    const float f = Clamp(d * d / outer, 0.0f, outer);
    for (int c = 0; c < 3; ++c) {
      const float v = Clamp(channels[c] * f / outer, 0.0f, 255.0f);
      out.samples.PutGlow(c, i - 1, v, out.combine);
    }
  }
}

}  // namespace

void BuildDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FlareContext& context) {
  Disc<ByteSamples>(size, red, green, blue, combine, context);
}
void BuildSoftDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                          int16_t width, FlareContext& context) {
  SoftDisc<ByteSamples>(size, red, green, blue, combine, width, context);
}
void BuildRingProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      int16_t width, FlareContext& context) {
  Ring<ByteSamples>(size, red, green, blue, combine, width, context);
}
void BuildRimDiscProfile(float size, int16_t red, int16_t green, int16_t blue, FlareContext& context) {
  RimDisc<ByteSamples>(size, red, green, blue, context);
}
void BuildGlowProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FlareContext& context) {
  Glow<ByteSamples>(size, red, green, blue, combine, context);
}

void BuildDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FullFlareContext& context) {
  Disc<FloatSamples>(size, red, green, blue, combine, context);
}
void BuildSoftDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                          int16_t width, FullFlareContext& context) {
  SoftDisc<FloatSamples>(size, red, green, blue, combine, width, context);
}
void BuildRingProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      int16_t width, FullFlareContext& context) {
  Ring<FloatSamples>(size, red, green, blue, combine, width, context);
}
void BuildRimDiscProfile(float size, int16_t red, int16_t green, int16_t blue, FullFlareContext& context) {
  RimDisc<FloatSamples>(size, red, green, blue, context);
}
void BuildGlowProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FullFlareContext& context) {
  Glow<FloatSamples>(size, red, green, blue, combine, context);
}
