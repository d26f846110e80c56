// lensflare render over any input the host reads: one image, an image sequence,
// a video or the built-in frame, into an image, a sequence or a video. The
// options arrive parsed; this chooses the source and sink by the names given,
// checks that they go together, runs the pipelined renderer and says how it
// went.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/cli/options.h"
#include "host/cli/tracking.h"
#include "host/core/control_values.h"
#include "host/core/keyframes.h"
#include "host/media/frame_sources.h"
#include "host/media/plate_composite.h"
#include "host/media/sequence_renderer.h"
#include "host/media/video_encoding.h"

namespace lfcli {

// input, plugin, pixel aspect, seed and threads come with SharedOptions.
struct MediaRenderOptions : SharedOptions {
  std::string output;
  // The controls as given, read once the module has declared them: --keys,
  // then each --center, --brightness, --lens or --blend (option, value) in the
  // order typed, which replace the same controls' keys from the file.
  std::string keysFile;
  std::vector<std::pair<std::string, std::string>> controlOptions;
  std::optional<lfhost::FrameRange> frames;    // --frames
  std::optional<lfhost::FrameChunk> chunk;     // --chunk, a part of those frames
  int framesInFlight = 0;                      // --frames-in-flight; 0: from cores and memory
  std::optional<lfhost::FrameRate> fps;        // --fps
  std::optional<std::pair<int32_t, int32_t>> size;   // --size, the built-in frame's
  lfhost::MissingFrames missing = lfhost::MissingFrames::Error;   // --missing
  std::optional<int64_t> startNumber;          // --start-number, a video's first frame
  bool skipExisting = false;                   // --skip-existing
  bool inPlace = false;                        // --in-place: a single image may be its own output
  bool quiet = false;
  bool allowDamaged = false;   // --allow-damaged
  bool validate = false;       // --validate: check the plug-in keeps the protocol
  lfhost::VideoStyle video;                    // --codec, --quality (a JPEG output's as well), --pix-fmt
  TrackingOptions tracking;   // --center-track, --occlusion, --edge-fade
  // Plates deeper than 8 bits.
  std::optional<OIIO::TypeDesc> depth;         // --depth: an image output's samples
  std::optional<lfhost::CompositeMode> composite;   // --composite
  std::string colorspace;                      // --colorspace
  std::optional<lfhost::FlarePrecision> flarePrecision;   // --flare-precision
  std::string part;                            // --part: the part of a multi-part file to flare
  lfhost::PassOutput pass = lfhost::PassOutput::None;   // --pass
  std::string passOutput;                      // --pass-output, for --pass both
};

// Adds one --center, --brightness, --lens or --blend value ("V", "F=V" or
// "F=V:INTERPOLATION") to its track. Throws UsageError naming the option.
void AddControlOption(lfhost::AnimatedControls& controls, const lfhost::ControlReader& reader,
                      const std::string& option, const std::string& text);

// The controls of a render: the keys file's, with the options' over them.
// Throws UsageError.
lfhost::AnimatedControls ReadControls(const MediaRenderOptions& options, const lfhost::ControlReader& reader);

// --frames "A-B", "A-BxN", "A,B,C-D".
lfhost::FrameRange ParseFramesOption(const std::string& option, const std::string& text);
// --missing "error", "black" or "hold".
lfhost::MissingFrames ParseMissingOption(const std::string& option, const std::string& text);

// The frames of input, --frames, --missing and --start-number, before any
// --chunk (the built-in frame without an input). Throws HostError, or
// UsageError for frames outside the input.
std::unique_ptr<lfhost::FrameSource> OpenInput(const MediaRenderOptions& options);

// "WxH", each side 1 to 32767.
std::pair<int32_t, int32_t> ParseFrameSize(const std::string& option, const std::string& text);

// "I/N": part I, counted from 0, of N.
lfhost::FrameChunk ParseFrameChunk(const std::string& option, const std::string& text);

// Runs the render and returns the exit status (0, 1, 2, or 128 + the signal that
// stopped it: 130, 143, 129), having printed any message.
int RunMediaRender(const MediaRenderOptions& options);

}  // namespace lfcli
