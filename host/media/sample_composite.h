// The flare onto a video frame's stored samples (video_samples.h). Only the
// samples the flare reaches change: a pixel it reaches is taken to R', G', B'
// through the frame's own matrix and range, in floating point, from its luma
// and the chroma sample that covers it (nothing is interpolated); the flare
// is composited there (screen or add, as onto plates), and what that changes
// is carried back to the stored values: the pixel's luma by its own change,
// each chroma sample by the mean change over the pixels it covers. So a chroma
// sample changes only where the flare reaches one of its pixels, no sample is
// resampled, and a frame without flare is written back bit for bit.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "host/core/image_buffer.h"
#include "host/media/plate_composite.h"
#include "host/media/video_samples.h"

namespace lfhost {

// The flare's share of each pixel's R', G', B' over rows `firstRow` on of a
// frame, in the form every composite onto stored samples takes: floats with
// Blend With Original applied, and for each row the span of pixels that hold
// any flare, so that the rest of the frame is never visited.
struct FlareAmounts {
  int32_t width = 0, height = 0;                    // of the frame
  int32_t firstRow = 0;
  std::vector<std::pair<int32_t, int32_t>> spans;   // per row, [first, end); empty where the row has none
  std::vector<size_t> starts;                       // per row, where its span's pixels begin in `rgb`
  std::vector<float> rgb;                           // 3 a pixel of each span, row after row (0 where no flare)

  int32_t rows() const { return static_cast<int32_t>(spans.size()); }
  const std::pair<int32_t, int32_t>& span(int32_t y) const { return spans[y - firstRow]; }
  // A pixel within its row's span.
  const float* at(int32_t x, int32_t y) const {
    return rgb.data() + 3 * (starts[y - firstRow] + (x - spans[y - firstRow].first));
  }
};

// The amounts of the flare over black (the exact 8-bit layer or the
// full-precision one, the frame's size, rendered with Blend With Original 0),
// scaled by (65536 - weight) / 65536 and converted as `look` says
// (PlateLook::Amounts), for rows `first` to `end` - 1 into `amounts` (its
// memory reused). A black layer pixel gives exactly nothing.
void AmountsOf(const FlareLayer& layer, int32_t weight, const PlateLook& look, int32_t first, int32_t end,
               FlareAmounts& amounts);
// The same over the whole frame.
FlareAmounts AmountsOf(const FlareLayer& layer, int32_t weight, const PlateLook& look);

// Composites `flare` (rows of a frame of the samples' size, whole chroma rows)
// onto the samples in place, as the comment at the top says. Values stay
// within the samples' code range; alpha is never changed. YUV samples go
// eight pixels at a time where the processor has AVX2, to the same bytes as
// the one-at-a-time loop `vectorised` = false keeps to.
void CompositeFlare(VideoSamples& samples, const FlareAmounts& flare, CompositeMode mode, bool vectorised = true);
// The layer's amounts composited onto the samples a band of rows at a time,
// so that they are made and used while in the cache; an exact layer onto YUV
// samples of a look that converts nothing is read byte by byte instead, to
// the same samples.
void CompositeFlare(VideoSamples& samples, const FlareLayer& layer, int32_t weight, const PlateLook& look);

}  // namespace lfhost
