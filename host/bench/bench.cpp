#include "host/bench/bench.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include <stdlib.h>

#include "host/core/effect_instance.h"
#include "host/core/host_error.h"
#include "host/media/frame_sources.h"
#include "host/media/sequence_renderer.h"
#include "render/screen_blend.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace lfhost {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- The screen pass ------------------------------------------------------------

// One row of `count` pixels starting at the alpha byte; `layer` is the layer
// colour as the four bytes A, R, G, B of a pixel with A = 0 (a layer byte of 0
// leaves the stored byte as it is, so alpha survives the screen).
void ScreenRowScalar(uint8_t* row, int32_t count, uint32_t layer) {
  const uint8_t lr = static_cast<uint8_t>(layer >> 8), lg = static_cast<uint8_t>(layer >> 16),
                lb = static_cast<uint8_t>(layer >> 24);
  for (int32_t x = 0; x < count; ++x, row += 4) {
    row[1] = ScreenByte(lr, row[1]);
    row[2] = ScreenByte(lg, row[2]);
    row[3] = ScreenByte(lb, row[3]);
  }
}

#if defined(__x86_64__)
// Every product of two complements plus 128 is at most 65153 and q + (q >> 8)
// at most 65407, so 16-bit lanes hold the whole screen.
__attribute__((target("sse4.2"))) inline __m128i Screen16Sse(__m128i layerComplement, __m128i stored16) {
  const __m128i c255 = _mm_set1_epi16(255);
  const __m128i q = _mm_add_epi16(_mm_mullo_epi16(layerComplement, _mm_sub_epi16(c255, stored16)),
                                  _mm_set1_epi16(128));
  return _mm_sub_epi16(c255, _mm_srli_epi16(_mm_add_epi16(q, _mm_srli_epi16(q, 8)), 8));
}

__attribute__((target("sse4.2"))) void ScreenRowSse42(uint8_t* row, int32_t count, uint32_t layer) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i complement =
      _mm_sub_epi16(_mm_set1_epi16(255), _mm_unpacklo_epi8(_mm_set1_epi32(static_cast<int>(layer)), zero));
  int32_t x = 0;
  for (; x + 4 <= count; x += 4, row += 16) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
    const __m128i lo = Screen16Sse(complement, _mm_unpacklo_epi8(p, zero));
    const __m128i hi = Screen16Sse(complement, _mm_unpackhi_epi8(p, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_packus_epi16(lo, hi));
  }
  ScreenRowScalar(row, count - x, layer);
}

__attribute__((target("avx2"))) inline __m256i Screen16Avx(__m256i layerComplement, __m256i stored16) {
  const __m256i c255 = _mm256_set1_epi16(255);
  const __m256i q = _mm256_add_epi16(_mm256_mullo_epi16(layerComplement, _mm256_sub_epi16(c255, stored16)),
                                     _mm256_set1_epi16(128));
  return _mm256_sub_epi16(c255, _mm256_srli_epi16(_mm256_add_epi16(q, _mm256_srli_epi16(q, 8)), 8));
}

__attribute__((target("avx2"))) void ScreenRowAvx2(uint8_t* row, int32_t count, uint32_t layer) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i complement = _mm256_sub_epi16(
      _mm256_set1_epi16(255), _mm256_unpacklo_epi8(_mm256_set1_epi32(static_cast<int>(layer)), zero));
  int32_t x = 0;
  for (; x + 8 <= count; x += 8, row += 32) {
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
    const __m256i lo = Screen16Avx(complement, _mm256_unpacklo_epi8(p, zero));
    const __m256i hi = Screen16Avx(complement, _mm256_unpackhi_epi8(p, zero));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row), _mm256_packus_epi16(lo, hi));
  }
  ScreenRowScalar(row, count - x, layer);
}
#endif

bool CpuHas(ScreenPassIsa isa) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (isa) {
    case ScreenPassIsa::kScalar: return true;
    case ScreenPassIsa::kSse42: return __builtin_cpu_supports("sse4.2");
    case ScreenPassIsa::kAvx2: return __builtin_cpu_supports("avx2");
  }
  return false;
#else
  return isa == ScreenPassIsa::kScalar;
#endif
}

std::atomic<int> gForcedIsa{-1};

using ScreenRowFn = void (*)(uint8_t*, int32_t, uint32_t);

ScreenRowFn RowFunctionFor(ScreenPassIsa isa) {
#if defined(__x86_64__)
  if (isa == ScreenPassIsa::kAvx2) return &ScreenRowAvx2;
  if (isa == ScreenPassIsa::kSse42) return &ScreenRowSse42;
#endif
  (void)isa;
  return &ScreenRowScalar;
}

// ---- Stamp coverage -------------------------------------------------------------

// The bench puts this in place of the instance's iterate entry for one render.
// What a stamp hands to iterate is the module's own business, so the host
// counts what it sees instead. A profile stamp's box is read off the frame: the
// output is made opaque black before the call is passed on, and the smallest
// box holding every pixel that is not black afterwards is what the stamp drew
// (on black every layer value but 0 shows, whatever the stamps before left; a
// pixel left as it was costs nothing). A ray stamp (count 1) is counted by the
// rand() values it draws, found by where the sequence stands afterwards. The
// lens programs never read the frame, and the warm-up render's pixels are not
// kept, so neither the black nor the reseeding changes what is timed.
struct CoverageRecorder {
  ImageBuffer* output = nullptr;
  std::vector<uint8_t> blackRow;
  int64_t profilePixels = 0;
  int64_t rayDraws = 0;
  bool drawsLost = false;
  int32_t profileStamps = 0;
  int32_t rayStamps = 0;
};
CoverageRecorder* gRecorder = nullptr;

// Any seed: the count does not depend on it.
constexpr unsigned kDrawCountSeed = 1;

// Pixels of the smallest box around the pixels of `frame` that are not `blackRow`'s.
int64_t DrawnBoxPixels(const ImageBuffer& frame, const std::vector<uint8_t>& blackRow) {
  const uint8_t* black = blackRow.data();
  int32_t top = -1, bottom = -1, left = frame.width(), right = -1;
  for (int32_t y = 0; y < frame.height(); ++y) {
    const uint8_t* row = frame.row(y);
    if (std::memcmp(row, black, blackRow.size()) == 0) continue;
    if (top < 0) top = y;
    bottom = y;
    int32_t first = 0, last = frame.width() - 1;
    while (std::memcmp(row + 4 * first, black, 4) == 0) ++first;
    while (std::memcmp(row + 4 * last, black, 4) == 0) --last;
    left = std::min(left, first);
    right = std::max(right, last);
  }
  return top < 0 ? 0 : static_cast<int64_t>(right - left + 1) * (bottom - top + 1);
}

// How many values were drawn since srand(kDrawCountSeed), at most `most`: the
// next three values (93 bits, no accidental match) are looked for in a fresh
// run of the sequence. -1 if they are not within reach.
int64_t DrawsSinceSeeding(int64_t most) {
  const int next[3] = {std::rand(), std::rand(), std::rand()};
  std::srand(kDrawCountSeed);
  int seen[3] = {std::rand(), std::rand(), std::rand()};
  for (int64_t n = 0; n <= most; ++n) {
    if (seen[0] == next[0] && seen[1] == next[1] && seen[2] == next[2]) return n;
    seen[0] = seen[1];
    seen[1] = seen[2];
    seen[2] = std::rand();
  }
  return -1;
}

int32_t CountingIterate(int32_t count, void* refcon, IterateWorkerFn worker) {
  CoverageRecorder* recorder = gRecorder;
  if (recorder == nullptr) return HostServices::Iterate(count, refcon, worker);
  recorder->output->Fill(255, 0, 0, 0);
  // One invocation on this thread, drawing from the rand() the host's own calls
  // reach too (the tool's per-thread one, or the C library's).
  if (count == 1) std::srand(kDrawCountSeed);
  const int32_t result = HostServices::Iterate(count, refcon, worker);
  if (count == 1) {
    // Two draws per pixel of a box no larger than the frame.
    const int64_t draws = DrawsSinceSeeding(2 * static_cast<int64_t>(recorder->output->width()) *
                                            recorder->output->height());
    if (draws < 0) recorder->drawsLost = true;
    recorder->rayDraws += std::max<int64_t>(draws, 0);
    ++recorder->rayStamps;
  } else {
    recorder->profilePixels += DrawnBoxPixels(*recorder->output, recorder->blackRow);
    ++recorder->profileStamps;
  }
  return result;
}

ImageBuffer OpaqueBlack(int32_t width, int32_t height) {
  ImageBuffer frame(width, height);
  frame.Fill(255, 0, 0, 0);
  return frame;
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

bool ScreenPassIsaSupported(ScreenPassIsa isa) { return CpuHas(isa); }

ScreenPassIsa ActiveScreenPassIsa() {
  const int forced = gForcedIsa.load();
  if (forced >= 0 && CpuHas(static_cast<ScreenPassIsa>(forced))) return static_cast<ScreenPassIsa>(forced);
  if (CpuHas(ScreenPassIsa::kAvx2)) return ScreenPassIsa::kAvx2;
  if (CpuHas(ScreenPassIsa::kSse42)) return ScreenPassIsa::kSse42;
  return ScreenPassIsa::kScalar;
}

void ForceScreenPassIsa(ScreenPassIsa isa) { gForcedIsa.store(static_cast<int>(isa)); }
void ClearForcedScreenPassIsa() { gForcedIsa.store(-1); }

void ScreenFrame(WorkerPool& pool, ImageBuffer& frame, uint8_t r, uint8_t g, uint8_t b) {
  const ScreenRowFn screenRow = RowFunctionFor(ActiveScreenPassIsa());
  const uint32_t layer = (uint32_t{r} << 8) | (uint32_t{g} << 16) | (uint32_t{b} << 24);
  const int32_t height = frame.height();
  const int32_t width = frame.width();
  const int threads = pool.size();
  pool.RunOnEveryThread([&](int t) {
    const int32_t first = static_cast<int32_t>(static_cast<int64_t>(height) * t / threads);
    const int32_t end = static_cast<int32_t>(static_cast<int64_t>(height) * (t + 1) / threads);
    for (int32_t y = first; y < end; ++y) screenRow(frame.row(y), width, layer);
  });
}

double BenchCenterX(int32_t width) { return 625.0 * width / 1920.0; }
double BenchCenterY(int32_t height) { return 400.0 * height / 1080.0; }

BenchResult RunBench(const EffectModule& module, WorkerPool& pool, const BenchCase& c) {
  EffectInstance effect(module, pool);
  effect.Start();
  ControlSettings settings;
  settings.lensType = c.lens;
  settings.brightness = c.brightness;
  settings.centerX = Coordinate{BenchCenterX(c.width), false};
  settings.centerY = Coordinate{BenchCenterY(c.height), false};
  const CheckedParams values = effect.Resolve(settings, c.width, c.height);

  const ImageBuffer input = OpaqueBlack(c.width, c.height);
  ImageBuffer output = input.Clone();
  auto renderOnce = [&] {
    const CommandResult result = effect.Render(input, output, values);
    if (!result.ok()) throw HostError("bench: render failed: " + DescribeResult(result));
  };

  // Warm-up render, counting the stamps' boxes on the way.
  BenchResult out;
  CoverageRecorder recorder;
  recorder.output = &output;
  recorder.blackRow.assign(input.row(0), input.row(0) + static_cast<size_t>(c.width) * 4);
  HostCallbacks* callbacks = effect.commandInput().callbacks;
  const IterateFn original = callbacks->iterate;
  callbacks->iterate = &CountingIterate;
  gRecorder = &recorder;
  try {
    renderOnce();
  } catch (...) {
    gRecorder = nullptr;
    callbacks->iterate = original;
    throw;
  }
  gRecorder = nullptr;
  callbacks->iterate = original;
  const double framePixels = static_cast<double>(c.width) * c.height;
  out.coverage.profileStamps = recorder.profileStamps;
  out.coverage.rayStamps = recorder.rayStamps;
  out.coverage.profileFrames = static_cast<double>(recorder.profilePixels) / framePixels;
  out.coverage.rayFrames = static_cast<double>(recorder.rayDraws) / 2.0 / framePixels;
  out.coverage.rayDraws = recorder.rayDraws;
  if (recorder.drawsLost) throw HostError("bench: the ray stamp's rand() draws could not be counted");

  const int repeat = std::max(1, c.repeat);
  std::vector<double> times;
  times.reserve(static_cast<size_t>(repeat));
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    renderOnce();
    times.push_back(MsSince(start));
  }
  out.renderMedianMs = Median(times);

  // The full-precision render of the same flare, after a warm-up of its own.
  FullFlare full;
  auto renderFull = [&] {
    const CommandResult result = effect.RenderFull(c.width, c.height, values, full);
    if (!result.ok()) throw HostError("bench: full-precision render failed: " + DescribeResult(result));
  };
  renderFull();
  times.clear();
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    renderFull();
    times.push_back(MsSince(start));
  }
  out.fullMedianMs = Median(times);

  // The floor, on the same pool: the screen pass over a frame of the same size.
  ImageBuffer scratch = OpaqueBlack(c.width, c.height);
  ScreenFrame(pool, scratch, 40, 30, 20);  // warm-up: pages touched, threads awake
  times.clear();
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    ScreenFrame(pool, scratch, 40, 30, 20);
    times.push_back(MsSince(start));
  }
  out.screenPassMs = Median(times);

  if (recorder.rayDraws > 0) {
    times.clear();
    unsigned sink = 0;
    for (int i = 0; i < repeat; ++i) {
      std::srand(0);
      const auto start = Clock::now();
      for (int64_t n = 0; n < recorder.rayDraws; ++n) sink += static_cast<unsigned>(std::rand());
      times.push_back(MsSince(start));
    }
    // Keeps the draws from being optimised away.
    static std::atomic<unsigned> keep;
    keep.store(sink, std::memory_order_relaxed);
    out.randMs = Median(times);
  }
  out.floorMs = (out.coverage.profileFrames + 2.0) * out.screenPassMs + out.randMs;
  for (const std::string& v : effect.Shutdown()) throw HostError("bench: plug-in protocol fault: " + v);
  return out;
}

namespace {

// Plates like a camera's: a soft gradient under per-pixel noise of +-24, so
// that a PNG encoder finds as little to squeeze as in real footage.
class NoisePlates final : public FrameSource {
 public:
  NoisePlates(int frames, int32_t width, int32_t height) {
    for (int n = 1; n <= frames; ++n) numbers_.push_back(n);
    width_ = width;
    height_ = height;
  }
  MediaFrame ReadNext() override {
    ImageBuffer frame(width_, height_);
    std::mt19937 noise(static_cast<uint32_t>(++read_));
    for (int32_t y = 0; y < height_; ++y) {
      for (int32_t x = 0; x < width_; ++x) {
        const int base = 40 + 120 * x / width_ + 60 * y / height_;
        frame.at(x, y, 0) = 255;
        for (int ch = 1; ch < 4; ++ch) frame.at(x, y, ch) = static_cast<uint8_t>(base + static_cast<int>(noise() % 49) - 24);
      }
    }
    return frame;
  }

 private:
  int read_ = 0;
};

// A folder of the bench's own, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string name = (std::filesystem::temp_directory_path() / "lensflare-bench-XXXXXX").string();
    if (!mkdtemp(name.data())) throw HostError(name + ": cannot create the bench's temporary folder");
    path_ = name;
  }
  ~TemporaryFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void RunOrThrow(RenderJob& job) {
  const RenderOutcome outcome = RenderFrames(job);
  if (!outcome.ok()) throw HostError("bench: sequence run failed: " + outcome.error.value_or("cancelled"));
}

}  // namespace

void RunSequenceBench(const EffectModule& module, const SequenceBenchCase& c,
                      const std::function<void(const SequenceBenchRow&)>& onRow) {
  const TemporaryFolder folder;
  AnimatedControls controls;
  AddTrackValue(controls.lensType, std::nullopt, c.lens);
  AddTrackValue(controls.brightness, std::nullopt, c.brightness);
  AddTrackValue(controls.center, std::nullopt,
                CenterPoint{Coordinate{BenchCenterX(c.width), false}, Coordinate{BenchCenterY(c.height), false}});
  for (const std::string& format : c.formats) {
    const std::string plates = (folder.path() / ("plate.####" + format)).string();
    const std::string output = (folder.path() / ("out.####" + format)).string();
    {
      NoisePlates noise(c.frames, c.width, c.height);
      const auto sink = OpenSequenceSink(plates, noise, std::nullopt);
      RenderJob job;
      job.source = &noise;
      job.sink = sink.get();
      RunOrThrow(job);
    }
    // A half-float sequence is read, rendered onto and written at its depth.
    const OIIO::TypeDesc samples = InputSamples(plates, MediaKind::Sequence);
    PlateReading reading;
    reading.deep = samples != OIIO::TypeDesc::UINT8;
    const PlateLook look = reading.deep ? PlateLook::For(samples, std::nullopt, "") : PlateLook();
    for (const int threads : c.threads) {
      WorkerPool pool(threads);
      EffectInstance effect(module, pool);
      effect.Start();
      const CheckedControls checked(controls, effect.controls(), c.width, c.height);
      SequenceBenchRow row{format, threads, 1e300, 1e300, c.frames};
      for (int round = 0; round < std::max(1, c.rounds); ++round) {
        for (EffectInstance* renderWith : {static_cast<EffectInstance*>(nullptr), &effect}) {
          const auto source = OpenSequenceSource(plates, std::nullopt, MissingFrames::Error, reading);
          const auto sink = OpenSequenceSink(output, *source, std::nullopt);
          RenderJob job;
          job.source = source.get();
          job.sink = sink.get();
          job.effect = renderWith;
          job.deep = reading.deep;
          job.look = look;
          job.controls = &checked;
          job.framesInFlight = threads;
          const auto start = Clock::now();
          RunOrThrow(job);
          double& best = renderWith ? row.renderSeconds : row.aloneSeconds;
          best = std::min(best, MsSince(start) / 1000.0);
        }
      }
      for (const std::string& v : effect.Shutdown()) throw HostError("bench: plug-in protocol fault: " + v);
      onRow(row);
    }
  }
}

}  // namespace lfhost
