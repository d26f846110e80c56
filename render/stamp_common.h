// Pieces shared by the profile and ray stampers: the box, the row bands, the
// per-row cancel poll, the read-only view of the profile the kernels use and
// the plain workers' walk over a band's rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "render/fixed_point.h"
#include "render/stamp_profile.h"
#include "render/truncate.h"

// The element's box before it becomes a StampJob, in single precision.
struct StampBox {
  float left, top, right, bottom;
  float centerX;  // the centre in image pixels
  float centerY;
};

// The box of a profile stamp of `radius` at (x, y) (x in square pixels), two
// pixels of margin around it, clipped to the frame. The 0.9 allowance keeps the
// last column (row) when the box is clipped and its left (top) edge has a
// fraction of at most 0.9, without ever passing the edge.
inline StampBox ProfileStampBox(float x, float y, float radius, const FlareFrame& frame, float aspect) {
  const float reach = radius + 2.0f;  // two pixels of margin
  const float centerX = x / aspect;
  const float reachX = reach / aspect;
  StampBox box{};
  box.centerX = centerX;
  box.centerY = y;
  box.left = MaxZero(centerX - reachX);
  box.top = MaxZero(y - reach);
  const double rightLimit = static_cast<double>(frame.width) + 0.9;
  const double bottomLimit = static_cast<double>(frame.height) + 0.9;
  box.right = centerX + reachX;
  if (static_cast<double>(box.right) > rightLimit) box.right = static_cast<float>(rightLimit);
  box.bottom = y + reach;
  if (static_cast<double>(box.bottom) > bottomLimit) box.bottom = static_cast<float>(bottomLimit);
  return box;
}

// The box of a ray stamp: the same margin, but no allowance: a box with a
// fractional left (top) edge leaves the last column (row) undrawn. A NaN edge
// counts as the frame's edge.
inline StampBox RayStampBox(float x, float y, float radius, const FlareFrame& frame, float aspect) {
  const float reach = radius + 2.0f;
  const float centerX = x / aspect;
  const float reachX = reach / aspect;
  StampBox box{};
  box.centerX = centerX;
  box.centerY = y;
  box.left = MaxZero(centerX - reachX);
  box.top = MaxZero(y - reach);
  const float width = static_cast<float>(frame.width);
  const float height = static_cast<float>(frame.height);
  const float right = centerX + reachX;
  const float bottom = y + reach;
  box.right = right < width ? right : width;
  box.bottom = bottom < height ? bottom : height;
  return box;
}

// columns, rows, centerQx, centerQy and startOffset from a box. A box whose
// pixels would lie outside the frame (possible only for a frame whose geometry is
// broken) loses the excess columns or rows; a box whose start offset cannot be
// held in 32 bits (a frame of more than 2 GiB) gets no columns. Neither happens
// for a box that the clipping above has produced inside a valid frame.
inline void FillJobBox(StampJob& job, const StampBox& box, const FlareFrame& frame) {
  job.columns = TruncToInt32(box.right - box.left);
  job.rows = TruncToInt32(box.bottom - box.top);
  job.centerQx = 4.0f * (box.centerX - box.left);
  job.centerQy = 4.0f * (box.centerY - box.top);
  job.startOffset = 0;
  if (job.columns <= 0 || job.rows <= 0) return;  // nothing to address
  // left < right <= width + 0.9 here, so both fit comfortably in 32 bits.
  const int32_t firstColumn = TruncToInt32(box.left);
  const int32_t firstRow = TruncToInt32(box.top);
  if (job.columns > frame.width - firstColumn) job.columns = frame.width - firstColumn;
  if (job.rows > frame.height - firstRow) job.rows = frame.height - firstRow;
  const int64_t offset = static_cast<int64_t>(firstRow) * frame.rowBytes +
                         static_cast<int64_t>(firstColumn) * frame.pixelBytes;
  if (offset < INT32_MIN || offset > INT32_MAX) {
    job.columns = 0;
    return;
  }
  job.startOffset = static_cast<int32_t>(offset);
}

// Rows [first, end) of the box that invocation `index` of `count` draws: equal
// bands, the last one also taking the remainder.
struct RowBand {
  int32_t first;
  int32_t end;
};

inline RowBand BandFor(int32_t rows, int32_t index, int32_t count) {
  if (count < 1 || index < 0 || index >= count) return {0, 0};
  const int32_t band = rows / count;
  const int32_t first = band * index;
  const int32_t end = index == count - 1 ? rows : (index + 1) * band;
  return {first, end};
}

// The cancel poll before each row: only the thread-index-0 worker asks the host
// (the others answer 0), and its answer, kept in 16 bits, becomes the context's
// status.
inline int16_t PollAbortBeforeRow(int32_t threadIndex, FlareContext& context) {
  if (threadIndex != 0) return 0;
  CommandInput* host = context.host;
  const int16_t answer = static_cast<int16_t>(host->abortCheck(host->effectRef));
  StoreStatus(context, answer);
  return answer;
}

// What a stamp kernel reads: the three channel buffers, their length and the
// distance table.
struct ProfileView {
  const uint8_t* red;
  const uint8_t* green;
  const uint8_t* blue;
  int32_t length;
  const HypotTable* table;
};

inline ProfileView ProfileViewOf(const FlareContext& context) {
  return {context.profileRed, context.profileGreen, context.profileBlue, context.profileLength,
          &context.hypotTable};
}

// The sample index for a distance or jittered index: one at or beyond the
// profile's end reads its last sample. -1 for a profile without samples.
inline int32_t ProfileIndex(int32_t index, int32_t length) { return index < length ? index : length - 1; }

// One row of the box: its first pixel's red byte and the row's vertical offset.
struct StampRow {
  uint8_t* pixels;
  int32_t pixelBytes;
  int32_t columns;
  float centerQx;  // job centre, quarter pixels
  float aspect;
  int32_t dy;      // quarter pixels, kept in 16 bits
};

inline uint8_t* BoxRowPixels(const StampJob& job, int32_t row) {
  return job.frame->pixels + job.startOffset +
         static_cast<ptrdiff_t>(row) * static_cast<ptrdiff_t>(job.frame->rowBytes);
}

// Offsets are held in 16 bits: on frames wide enough for an element to reach
// more than 8192 square pixels from its centre they wrap, as a 16-bit store
// does, and the distance is taken from the wrapped values.
inline float StampDx(float centerQx, int32_t column, float aspect) {
  return (centerQx - static_cast<float>(4 * column)) * aspect;
}
inline float StampDy(float centerQy, int32_t row) {
  return centerQy - static_cast<float>(4 * row);
}

// The largest distance any pixel of rows band.first .. band.end - 1 can have, in
// `bound`; false when the band's offsets do not all fit in 16 bits. Offsets are
// monotonic in the column and the row, so when the band's corners fit in 16
// bits every offset does and the corners bound them; a distance never exceeds
// entry 256 x the larger offset / 2^14. A band whose offsets wrap may reach any
// 16-bit magnitude, up to 32768.
inline bool BandDistanceBound(const StampJob& job, const HypotTable& table, float aspect, RowBand band,
                              int32_t& bound) {
  const float edges[4] = {StampDy(job.centerQy, band.first), StampDy(job.centerQy, band.end - 1),
                          StampDx(job.centerQx, 0, aspect), StampDx(job.centerQx, job.columns - 1, aspect)};
  int32_t largest = 0;
  bool fits = true;
  for (float edge : edges) {
    if (!TruncFitsInt16(edge)) {
      fits = false;
      largest = 32768;
      break;
    }
    int32_t magnitude = static_cast<int32_t>(edge);
    if (magnitude < 0) magnitude = -magnitude;
    if (magnitude > largest) largest = magnitude;
  }
  bound = (static_cast<int32_t>(table.entry[kHypotTableSize - 1]) * largest) >> 14;
  return fits;
}

// Columns [begin, end) of a box row.
struct ColumnSpan {
  int32_t begin;
  int32_t end;
};

// |dx| of every column of the box as FastHypot reads it (the offset kept in 16
// bits) into absDx, and the span of columns whose |dx| is below `limit`. A
// distance is never below the larger of |dx| and |dy| (every table entry is at
// least 2^14; for wrapped offsets too, the distance being taken from them), so
// no other column has a distance below `limit`.
inline ColumnSpan ColumnsWithin(const StampJob& job, float aspect, int32_t limit, int32_t* absDx) {
  ColumnSpan span{job.columns, 0};
  for (int32_t c = 0; c < job.columns; ++c) {
    const int32_t dx = TruncToInt16(StampDx(job.centerQx, c, aspect));
    absDx[c] = dx < 0 ? -dx : dx;
    if (absDx[c] < limit) {
      if (span.begin == job.columns) span.begin = c;
      span.end = c + 1;
    }
  }
  return span;
}

// The square of a radius beyond which a pixel's distance is at least `limit`.
// FastHypot never falls far below the true distance h = sqrt(dx^2 + dy^2): the
// index loses less than 1/256 of the ratio (costing at most 0.7072/256 of an
// entry's 2^14 scale), an entry is rounded by at most 1/2 and the result is
// truncated, so d > 0.9972 h - 1. A pixel with h >= (limit + 1) x 1.01
// therefore has d >= limit.
inline int64_t ReachableSquared(int32_t limit) {
  const double reachable = (static_cast<double>(limit) + 1.0) * 1.01;
  return static_cast<int64_t>(reachable * reachable) + 1;
}

// A row's span narrowed to the columns inside that circle.
inline ColumnSpan NarrowToCircle(const int32_t* absDx, ColumnSpan span, int32_t absDy, int64_t reachableSquared) {
  const int64_t dxSquaredLimit = reachableSquared - static_cast<int64_t>(absDy) * absDy;
  while (span.begin < span.end && static_cast<int64_t>(absDx[span.begin]) * absDx[span.begin] >= dxSquaredLimit) {
    ++span.begin;
  }
  while (span.end > span.begin && static_cast<int64_t>(absDx[span.end - 1]) * absDx[span.end - 1] >= dxSquaredLimit) {
    --span.end;
  }
  return span;
}

// The plain workers' walk over their band: before each row the thread-index-0
// worker polls for cancel and stops with a non-zero answer; each row then goes to
// screenRow(row). Returns the status the walk leaves.
template <typename ScreenRowFn>
inline int32_t WalkBandRows(const StampJob& job, FlareContext& context, RowBand band, int32_t threadIndex,
                            float aspect, ScreenRowFn&& screenRow) {
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, context)) return answer;
    if (job.columns <= 0) continue;
    const StampRow row{BoxRowPixels(job, r), job.frame->pixelBytes, job.columns, job.centerQx, aspect,
                       TruncToInt16(StampDy(job.centerQy, r))};
    screenRow(row);
  }
  return LoadStatus(context);
}
