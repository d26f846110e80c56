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
  // The box starts at the unrounded edge: the centre lies within a pixel of this.
  RecordedStamp stamp{job->columns, job->rows,
                      static_cast<float>((job->startOffset % canvas.rowBytes) / 4) + job->centerQx / 4.0f,
                      static_cast<float>(job->startOffset / canvas.rowBytes) + job->centerQy / 4.0f, 0, {}};
  const std::vector<uint8_t> before = canvas.data;
  const size_t logMark = self.host_.log.size() + 1;  // after "iterate n"
  const int32_t result = self.wrapped_(count, refcon, worker);
  self.host_.log.resize(logMark);
  for (size_t at = 0; at + 4 <= canvas.data.size(); at += 4) {
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
