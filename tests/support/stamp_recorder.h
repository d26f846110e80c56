// Records every stamp a lens program makes on a TestCanvas: the box the stamper
// handed to the host's iterate (from its StampJob) and the pixels that stamp
// changed. It wraps the FakeHost's iterate callback for its own lifetime, so the
// FakeHost's failure behaviour stays as configured; the workers' per-row abort
// polls are taken out of the host's log (and counted here), which then holds
// the lens program's own host calls in order.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/fake_host.h"

struct RecordedStamp {
  int32_t count;            // iterate's count: -1 profile stamp, 1 ray stamp
  int32_t left, top;        // the box's first image column and row
  int32_t columns, rows;
  float centerX, centerY;   // the stamp centre in image pixels, to within one pixel
  int64_t changedPixels;    // pixels whose red, green or blue changed
  int64_t gain[3];          // summed increase of red, green, blue
  int64_t workerPolls;      // abort polls the stamp workers made
};

class StampRecorder {
 public:
  StampRecorder(FakeHost& host, TestCanvas& canvas);
  ~StampRecorder();
  StampRecorder(const StampRecorder&) = delete;
  StampRecorder& operator=(const StampRecorder&) = delete;

  std::vector<RecordedStamp> stamps;

 private:
  static int32_t Iterate(int32_t count, void* refcon, IterateWorkerFn worker);
  static StampRecorder* current_;
  FakeHost& host_;
  TestCanvas& canvas_;
  IterateFn wrapped_;
};
