#include "tests/support/fake_host.h"

#include <thread>

#include "render/hypot_table.h"

FakeHost* FakeHost::current_ = nullptr;

FakeHost::FakeHost() {
  in.abortCheck = &FakeHost::AbortCheck;
  in.progress = &FakeHost::Progress;
  in.callbacks = &callbacks;
  in.effectRef = this;
  SetPixelAspect(1, 1);
  callbacks.iterate = &FakeHost::Iterate;
  current_ = this;
}

FakeHost::~FakeHost() {
  if (current_ == this) current_ = nullptr;
}

int32_t FakeHost::AbortCheck(void* effectRef) {
  auto* host = static_cast<FakeHost*>(effectRef);
  std::lock_guard<std::mutex> lock(host->mutex_);
  host->log.push_back("abort");
  const int64_t poll = host->abortPolls++;
  return host->abortAfterPolls >= 0 && poll >= host->abortAfterPolls ? 517 : 0;
}

int32_t FakeHost::Progress(void* effectRef, int32_t current, int32_t total) {
  auto* host = static_cast<FakeHost*>(effectRef);
  std::lock_guard<std::mutex> lock(host->mutex_);
  host->log.push_back("progress " + std::to_string(current) + "/" + std::to_string(total));
  return 0;
}

int32_t FakeHost::Iterate(int32_t count, void* refcon, IterateWorkerFn worker) {
  FakeHost* host = current_;
  host->log.push_back("iterate " + std::to_string(count));
  const bool fail = host->iterateFailure != 0 && static_cast<int64_t>(host->iterates.size()) >= host->failIterateAt;
  host->iterates.push_back({count});
  if (fail) return host->iterateFailure;
  // Each invocation runs with its own index as thread index, as a pool with one
  // thread per invocation would number them.
  const int32_t n = count == -1 ? host->threads : count;
  std::vector<int32_t> results(static_cast<size_t>(n), 0);
  std::vector<std::thread> threads;
  for (int32_t i = host->parallel ? 1 : n; i < n; ++i)
    threads.emplace_back([&, i] { results[i] = worker(refcon, i, i, n); });
  for (int32_t i = 0; i < (host->parallel ? 1 : n); ++i) results[i] = worker(refcon, i, i, n);
  for (auto& t : threads) t.join();
  for (int32_t r : results)
    if (r != 0) return r;
  return 0;
}

TestCanvas::TestCanvas(int32_t w, int32_t h, FakeHost& host, int32_t profileLength, float brightness)
    : width(w), height(h), rowBytes(((4 * w + 63) / 64) * 64 + 64),
      data(static_cast<size_t>(rowBytes) * h, kPaddingByte) {
  Fill(255, 0, 0, 0);
  FillHypotTable(context.hypotTable);
  context.host = &host.in;
  context.streakMode = 1;
  context.profileLength = profileLength > 0 ? profileLength : 16 * w;
  for (auto& p : profile) p.assign(static_cast<size_t>(context.profileLength), 0);
  context.profileRed = profile[0].data();
  context.profileGreen = profile[1].data();
  context.profileBlue = profile[2].data();
  FlareFrame& f = context.frame;
  f.height = static_cast<int16_t>(h);
  f.width = f.squareWidth = static_cast<int16_t>(w);
  f.rowBytes = rowBytes;
  f.pixelBytes = 4;
  f.pixels = data.data() + 1;
  f.brightness = brightness;
  f.centerX = f.centerY = 0.5f;
}

void TestCanvas::Fill(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) At(x, y, 0) = a, At(x, y, 1) = r, At(x, y, 2) = g, At(x, y, 3) = b;
}

bool TestCanvas::PaddingIntact() const {
  for (int32_t y = 0; y < height; ++y)
    for (int32_t i = 4 * width; i < rowBytes; ++i)
      if (data[static_cast<size_t>(y) * rowBytes + i] != kPaddingByte) return false;
  return true;
}

void TestCanvas::SetProfile(uint8_t value) {
  for (auto& p : profile) p.assign(p.size(), value);
}
