// Timing of whole renders through the host, and the memory floor they are held
// against: what `lensflare bench` prints.
//
// The floor of a lens is what its pixels cost at the least: every stamp reads
// and writes each pixel of its drawn box once, and the render command reads and
// writes the frame twice more (copying the input in, blending it back), so
//   floor = (frames of pixels the stamps cover + 2) x one full-frame screen pass,
// with the screen pass vectorised and run on the same threads. Ray stamps draw
// two rand() values per pixel of their box, in order, on one thread; that cost
// cannot be spread or vectorised, so it is timed alone and the ray boxes are
// counted at that time instead of as screen passes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/core/image_buffer.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"

namespace lfhost {

struct BenchCase {
  int32_t lens = 1;
  int32_t width = 1920;
  int32_t height = 1080;
  double brightness = 100.0;   // percent
  int repeat = 20;
};

// What the stamps of one render covered, as the host sees it, in frames of
// pixels (box pixels / frame pixels): for a profile stamp the box around the
// pixels it drew, for a ray stamp half the rand() values it drew.
struct StampCoverage {
  int32_t profileStamps = 0;      // iterate with count -1
  int32_t rayStamps = 0;          // iterate with count 1
  double profileFrames = 0;
  double rayFrames = 0;
  int64_t rayDraws = 0;
};

struct BenchResult {
  double renderMedianMs = 0;
  double fullMedianMs = 0;        // the same flare at full precision (EffectInstance::RenderFull), over black
  double screenPassMs = 0;        // one full-frame vectorised screen pass, median
  double randMs = 0;              // rayDraws rand() draws, median
  double floorMs = 0;             // (profileFrames + 2) x screenPassMs + randMs
  StampCoverage coverage;
};

// The flare centre used for every size: (625, 400) at 1920x1080, scaled with
// the frame so that each size shows the same picture.
double BenchCenterX(int32_t width);
double BenchCenterY(int32_t height);

// Renders the case `repeat` times (after one warm-up render that also records
// the stamp coverage) onto an opaque black frame through one EffectInstance on
// `pool`, with seed 0, and measures the floor on the same pool. Throws
// HostError if a render fails.
BenchResult RunBench(const EffectModule& module, WorkerPool& pool, const BenchCase& c);

// ---- Sequences ----------------------------------------------------------------

// Image sequences through the whole tool: files read, rendered and written with
// frames in flight, against the same files read and written alone (no render)
// with the same parallelism.
struct SequenceBenchCase {
  int32_t width = 1920;
  int32_t height = 1080;
  int frames = 24;
  int32_t lens = 1;
  double brightness = 100.0;
  std::vector<int> threads{1, 2};                 // each count is the pool size and the frames in flight
  std::vector<std::string> formats{".png", ".exr"};  // an EXR is half float, rendered onto at its depth
  int rounds = 2;                                 // the faster of these runs counts
};

struct SequenceBenchRow {
  std::string format;
  int threads = 0;
  double aloneSeconds = 0;    // reading and writing alone
  double renderSeconds = 0;   // reading, rendering and writing
  int frames = 0;
  double AloneFps() const { return frames / aloneSeconds; }
  double RenderFps() const { return frames / renderSeconds; }
  // The render's throughput as a share of what reading and writing alone reach.
  double Share() const { return aloneSeconds / renderSeconds; }
};

// Writes the case's noisy frames in each format into a new temporary folder,
// then, per format and thread count, times both kinds of run in turn, `rounds`
// times, handing each row to `onRow` as it is done. The folder is removed at
// the end, also after a failure (HostError).
void RunSequenceBench(const EffectModule& module, const SequenceBenchCase& c,
                      const std::function<void(const SequenceBenchRow&)>& onRow);

// ---- Pieces of the floor, public for the tests ------------------------------

// Screens every R, G, B byte of `frame` with the layer colour (r, g, b), rows
// split over every pool thread; alpha is kept. The same integer screen the
// module uses: with q = (255 - layer) x (255 - stored) + 128, the result is
// 255 - ((q + (q >> 8)) >> 8).
void ScreenFrame(WorkerPool& pool, ImageBuffer& frame, uint8_t r, uint8_t g, uint8_t b);

// Which instruction set ScreenFrame uses: chosen once from the processor, or
// forced (for the tests; a forced set the processor lacks is ignored).
enum class ScreenPassIsa { kScalar, kSse42, kAvx2 };
ScreenPassIsa ActiveScreenPassIsa();
void ForceScreenPassIsa(ScreenPassIsa isa);
void ClearForcedScreenPassIsa();
bool ScreenPassIsaSupported(ScreenPassIsa isa);

double Median(std::vector<double> values);

}  // namespace lfhost
