#include "tests/support/stamp_recorder.h"

#include "render/stamp_profile.h"

StampRecorder* StampRecorder::current_ = nullptr;

StampRecorder::StampRecorder(FakeHost& host, TestCanvas& canvas)
    : host_(host), canvas_(canvas), wrapped_(host.callbacks.iterate) {
  host_.callbacks.iterate = &StampRecorder::Iterate;
  current_ = this;
}

StampRecorder::~StampRecorder() {
  host_.callbacks.iterate = wrapped_;
  if (current_ == this) current_ = nullptr;
}

int32_t StampRecorder::Iterate(int32_t count, void* refcon, IterateWorkerFn worker) {
  StampRecorder& self = *current_;
  TestCanvas& canvas = self.canvas_;
  const auto* job = static_cast<const StampJob*>(refcon);
  RecordedStamp stamp{};
  stamp.count = count;
  stamp.top = job->startOffset / canvas.rowBytes;
  stamp.left = (job->startOffset % canvas.rowBytes) / 4;
  stamp.columns = job->columns;
  stamp.rows = job->rows;
  // The box starts at the unrounded edge: the centre lies within a pixel of this.
  stamp.centerX = static_cast<float>(stamp.left) + job->centerQx / 4.0f;
  stamp.centerY = static_cast<float>(stamp.top) + job->centerQy / 4.0f;

  const std::vector<uint8_t> before = canvas.data;
  // The workers' own per-row cancel polls leave the log, so that it shows the
  // lens program's calls alone.
  const size_t logMark = self.host_.log.size() + 1;  // after "iterate n"
  const int32_t result = self.wrapped_(count, refcon, worker);
  stamp.workerPolls = static_cast<int64_t>(self.host_.log.size() - logMark);
  self.host_.log.resize(logMark);
  for (int32_t y = 0; y < canvas.height; ++y)
    for (int32_t x = 0; x < canvas.width; ++x) {
      const size_t at = static_cast<size_t>(y) * canvas.rowBytes + static_cast<size_t>(x) * 4;
      bool changed = false;
      for (int c = 0; c < 3; ++c) {
        const int delta = canvas.data[at + 1 + c] - before[at + 1 + c];
        stamp.gain[c] += delta;
        changed = changed || delta != 0;
      }
      stamp.changedPixels += changed ? 1 : 0;
    }
  self.stamps.push_back(stamp);
  return result;
}
