// lensflare render over any input the host reads: one image, an image sequence,
// a video or the built-in frame, into an image, a sequence or a video. The
// options arrive parsed; this chooses the source and sink by the names given,
// checks that they go together, runs the pipelined renderer and says how it
// went.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/cli/options.h"
#include "host/media/frame_sources.h"
#include "host/core/keyframes.h"
#include "host/media/plate_composite.h"
#include "host/media/sequence_renderer.h"
#include "host/media/video_io.h"

namespace lfcli {

// input, plugin, pixel aspect, seed and threads come with SharedOptions.
struct MediaRenderOptions : SharedOptions {
  std::string output;
  lfhost::AnimatedControls controls;           // options over --keys
  std::optional<lfhost::FrameRange> frames;    // --frames
  std::optional<lfhost::FrameChunk> chunk;     // --chunk, a part of those frames
  int framesInFlight = 0;                      // --frames-in-flight; 0: from cores and memory
  std::optional<lfhost::FrameRate> fps;        // --fps
  std::optional<std::pair<int32_t, int32_t>> size;   // --size, the built-in frame's
  lfhost::MissingFrames missing = lfhost::MissingFrames::Error;   // --missing
  std::optional<int64_t> startNumber;          // --start-number, a video's first frame
  bool skipExisting = false;                   // --skip-existing
  bool quiet = false;
  bool allowDamaged = false;   // --allow-damaged
  bool validate = false;       // --validate: check the plug-in keeps the protocol
  lfhost::VideoStyle video;                    // --codec, --quality, --pix-fmt
  // Plates deeper than 8 bits.
  std::optional<OIIO::TypeDesc> depth;         // --depth: an image output's samples
  std::optional<lfhost::CompositeMode> composite;   // --composite
  std::string colorspace;                      // --colorspace
  std::string part;                            // --part: the part of a multi-part file to flare
  lfhost::PassOutput pass = lfhost::PassOutput::None;   // --pass
  std::string passOutput;                      // --pass-output, for --pass both
};

// Adds one --center, --brightness, --lens or --blend value ("V" or "F=V") to its
// track. Throws UsageError naming the option.
void AddControlOption(lfhost::AnimatedControls& controls, const std::string& option, const std::string& text);

// "WxH", each side 1 to 32767.
std::pair<int32_t, int32_t> ParseFrameSize(const std::string& option, const std::string& text);

// "I/N": part I, counted from 0, of N.
lfhost::FrameChunk ParseFrameChunk(const std::string& option, const std::string& text);

// Runs the render and returns the exit status (0, 1, 2, or 128 + the signal that
// stopped it: 130, 143, 129), having printed any message.
int RunMediaRender(const MediaRenderOptions& options);

}  // namespace lfcli
