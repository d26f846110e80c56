// Records every stamp a lens program makes on a TestCanvas and how many pixels
// it changed. It wraps the FakeHost's iterate for its lifetime, so the
// configured failures still apply, and takes the stamp workers' row polls out
// of the host's log, which then holds the lens program's own host calls in order.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/fake_host.h"

struct RecordedStamp {
  int64_t changedPixels;  // pixels whose red, green or blue changed
};

class StampRecorder {
 public:
  StampRecorder(FakeHost& host, TestCanvas& canvas);
  ~StampRecorder();
  std::vector<RecordedStamp> stamps;

 private:
  static int32_t Iterate(int32_t count, void* refcon, IterateWorkerFn worker);
  static StampRecorder* current_;
  FakeHost& host_;
  TestCanvas& canvas_;
  IterateFn wrapped_;
};
