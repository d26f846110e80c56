// Where frames come from: one image, an image sequence named by a pattern
// ("plate.%04d.exr", "plate.####.png"), a video file, or the built-in dark frame
// repeated. Every frame has a number, which names its output in a sequence and
// seeds its rays: a sequence frame keeps its own number (so a shot rendered in
// chunks equals the shot rendered at once), a video frame is its 0-based index,
// a single image is frame 0.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/core/cancel_token.h"
#include "host/core/frame_range.h"
#include "host/core/host_error.h"
#include "host/core/image_buffer.h"
#include "host/media/image_io.h"
#include "host/media/media_frame.h"
#include "host/media/media_paths.h"
#include "host/media/video_reader.h"

namespace lfhost {

// A source hands out its frames in order, on one thread.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual int64_t frameCount() const { return static_cast<int64_t>(numbers_.size()); }
  virtual int64_t frameNumber(int64_t index) const { return numbers_.at(static_cast<size_t>(index)); }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // The next frame. Throws HostError naming the file (and frame) if it cannot be
  // read or differs in size from the first (the display window's, for plates).
  virtual MediaFrame ReadNext() = 0;
  // Stops any helper program early.
  virtual void Close() {}
  // The input's frame rate, for a video output.
  virtual std::optional<FrameRate> frameRate() const { return std::nullopt; }
  // Leaves out the frames `skip` says (an output already there), before the first is read.
  template <class Predicate>
  void DropFrames(Predicate skip) {
    ListFrames();
    std::erase_if(numbers_, skip);
  }
  // A variable-rate video's shortest and longest time between frames (seconds).
  virtual std::optional<std::pair<double, double>> frameGaps() const { return std::nullopt; }
  // Audio to keep in a video output: the part under the frames read.
  virtual std::optional<AudioSource> audio() const { return std::nullopt; }
  // Keeps only part `chunk` of the frames, before the first ReadNext. Throws
  // RangeError when there are fewer frames than parts.
  void KeepChunk(FrameChunk chunk);
  // A video input's coding and colour description, its timecode that of the
  // first frame read, for a video output to follow.
  virtual std::optional<VideoFormat> videoFormat() const { return std::nullopt; }
  // False when the input has no alpha channel (every alpha is 255), so an
  // output need not store one.
  bool hasAlpha() const { return alpha_; }
  // The pixel aspect ratio the input states (a DPX, EXR, TIFF or PNG header, a
  // video's sample aspect ratio), as N:D; nothing when it states none.
  virtual std::optional<std::pair<int32_t, uint32_t>> pixelAspect() const;
  // What an image output of frame `frameNumber` keeps of its input: channels,
  // header fields. Called from the writer's thread while frames are read.
  virtual ImageTraits TraitsOf(int64_t frameNumber) const;

 protected:
  // Keeps the frames of indices first to end - 1 (a source that numbers its
  // frames from a range rather than listing them keeps the part of its range).
  virtual void KeepIndices(int64_t first, int64_t end) {
    numbers_ = std::vector<int64_t>(numbers_.begin() + first, numbers_.begin() + end);
  }
  // Makes numbers_ hold every frame, for a source that does not list them.
  virtual void ListFrames() {}
  std::vector<int64_t> numbers_;
  int32_t width_ = 0, height_ = 0;
  bool alpha_ = true;
};

// All of these throw HostError naming the file or pattern (exit status 1) for
// missing, unreadable or oversized input and a pattern that matches nothing;
// a range outside the input is a usage mistake (RangeError).
inline HostError RangeError(const std::string& message) { return UsageError(message); }

// How image files are read: at 8 bits for the module (the default), or as
// plates at their own precision (ReadPlate), `part` flared, samples held in
// `atLeast` where that is wider.
struct PlateReading {
  bool deep = false;
  std::string part;
  OIIO::TypeDesc atLeast;
};

// The colour samples of an input's first file (ColourSampleType), 16 bits for a
// video of more than 8 (IsDeepVideo), else 8 bits, as for a sequence of which no
// file is found (its source then says so). Throws HostError as ReadImageHeader
// or ProbeVideoStreams does.
OIIO::TypeDesc InputSamples(const std::string& input, MediaKind kind);
// The header of that same first file of an image or a sequence (its channels,
// say); for a sequence of which no file is found, four channels of 8 bits.
OIIO::ImageSpec InputLayout(const std::string& input, MediaKind kind);

std::unique_ptr<FrameSource> OpenImageSource(const std::string& path, const PlateReading& reading = {});

// What a sequence does about a frame missing between its first and last:
// refuse to start (naming every missing frame), render it from an opaque black
// frame, or hold the frame before it.
enum class MissingFrames { Error, Black, Hold };
std::optional<MissingFrames> ParseMissingFrames(const std::string& text);

// Every frame of the sequence within `range` (all from the first found to the
// last when unset); the range must lie within the first and last frame found.
// The header of every frame is read up front, so a missing, oversized or
// differently sized frame stops the run before anything is written.
// A missing frame rendered black is, for plates, the first frame's layout with
// every sample 0 and alpha 1.
std::unique_ptr<FrameSource> OpenSequenceSource(const std::string& pattern, std::optional<FrameRange> range,
                                                MissingFrames missing = MissingFrames::Error,
                                                const PlateReading& reading = {});
// Frames `range` of the video, numbered from `startNumber` (all when unset).
// With a list or step of frames, the video's audio is not carried. Read Deep,
// a video of more than 8 bits comes as one-part plates of 16-bit R, G, B(, A),
// 8-bit video as 8-bit frames; read as Samples, a video whose format carries
// them (CarriesStoredSamples) comes as its stored samples, any other as 8-bit
// frames.
std::unique_ptr<FrameSource> OpenVideoSource(const std::string& path, std::optional<FrameRange> range,
                                             int64_t startNumber = 0, VideoReading reading = VideoReading::Frames);
// The built-in dark frame, of this size, for every frame of `range`.
std::unique_ptr<FrameSource> OpenBuiltinSource(FrameRange range, int32_t width, int32_t height);

}  // namespace lfhost
