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
#include <stdexcept>
#include <string>
#include <vector>

#include "host/cancel_token.h"
#include "host/image_buffer.h"
#include "host/image_io.h"
#include "host/video_io.h"

namespace lfhost {

enum class MediaKind { Image, Sequence, Video };

// A pattern in the file name makes a sequence, a video extension a video,
// anything else a single image.
MediaKind MediaKindOf(const std::string& path);
// What an input name stands for: a file of that very name is read as the image
// or video it is, so "50%d.png" or "take#1.png" can be a single image; any other
// name as MediaKindOf says.
MediaKind InputKindOf(const std::string& path);

// "name.%04d.ext", "name.%d.ext" or "name.####.ext" (the first such mark in the
// file name; the folder is taken literally).
class SequencePattern {
 public:
  static std::optional<SequencePattern> Parse(const std::string& path);
  const std::string& text() const { return text_; }
  std::string PathFor(int64_t frame) const;
  // The frame number a file name (without folder) stands for, if it matches.
  std::optional<int64_t> Match(const std::string& fileName) const;
  // Frames whose files exist, in increasing order.
  std::vector<int64_t> Scan() const;
  std::string folder() const { return folder_; }

 private:
  std::string text_;
  std::string folder_;      // "" for the current folder
  std::string prefix_, suffix_;   // of the file name around the number
  int digits_ = 0;          // zero-padded width; 0 for no padding
};

// Frames as compositors write them, numbers from 0 up: "A-B" (inclusive), "A",
// "A-BxN" (every Nth from A), or a comma list of those ("1001,1010,1020-1030").
// first and last span the frames; `picks` lists them when they are not every
// frame of that span.
struct FrameRange {
  int64_t first = 0;
  int64_t last = 0;
  std::vector<int64_t> picks;   // increasing; empty for every frame from first to last
  // The frames, in order.
  std::vector<int64_t> Frames() const;
};
std::optional<FrameRange> ParseFrameRange(const std::string& text);

// Part `index` (from 0) of `parts` near-equal, contiguous parts of a render's
// frames, so separate processes can share a shot (--chunk I/N).
struct FrameChunk {
  int64_t index = 0;
  int64_t parts = 1;
};

// A source hands out its frames in order, on one thread.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual int64_t frameCount() const { return static_cast<int64_t>(numbers_.size()); }
  virtual int64_t frameNumber(int64_t index) const { return numbers_.at(static_cast<size_t>(index)); }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // The next frame. Throws HostError naming the file (and frame) if it cannot be
  // read or differs in size from the first.
  virtual ImageBuffer ReadNext() = 0;
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
// a range outside the input throws RangeError (a usage mistake).
class RangeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::unique_ptr<FrameSource> OpenImageSource(const std::string& path);

// What a sequence does about a frame missing between its first and last:
// refuse to start (naming every missing frame), render it from an opaque black
// frame, or hold the frame before it.
enum class MissingFrames { Error, Black, Hold };
std::optional<MissingFrames> ParseMissingFrames(const std::string& text);

// Every frame of the sequence within `range` (all from the first found to the
// last when unset); the range must lie within the first and last frame found.
// The header of every frame is read up front, so a missing, oversized or
// differently sized frame stops the run before anything is written.
std::unique_ptr<FrameSource> OpenSequenceSource(const std::string& pattern, std::optional<FrameRange> range,
                                                MissingFrames missing = MissingFrames::Error);
// Frames `range` of the video, numbered from `startNumber` (all when unset).
// With a list or step of frames, the video's audio is not carried.
std::unique_ptr<FrameSource> OpenVideoSource(const std::string& path, std::optional<FrameRange> range,
                                             int64_t startNumber = 0);
// The built-in dark frame, of this size, for every frame of `range`.
std::unique_ptr<FrameSource> OpenBuiltinSource(FrameRange range, int32_t width, int32_t height);

// Where rendered frames go. Write is called in frame order on one thread,
// unless the sink writes each frame on its own (writesFramesAtOnce).
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual void Write(int64_t frameNumber, const ImageBuffer& frame) = 0;
  // True when Write may be called for several frames at once, from several
  // threads, in any order (each frame is a file of its own).
  virtual bool writesFramesAtOnce() const { return false; }
  // Removes a frame this run wrote completely, when an earlier frame failed to
  // be written: what stays is then the frames from the first on, without a gap.
  virtual void Discard(int64_t /*frameNumber*/) noexcept {}
  // Completes the output (a video is encoded to its end and renamed into
  // place); false when `cancel` stopped that, leaving nothing.
  virtual bool Finish(const CancelToken* /*cancel*/) { return true; }
  // True when Finish has work of its own to show (a video's last encoding).
  virtual bool encodes() const { return false; }
  // Drops what is not complete: a video's temporary file. Image files already
  // written are complete and stay.
  virtual void Abandon() noexcept {}
  // True for an all-or-nothing output (a video, a single image): after a stop
  // it takes no more frames, and Abandon leaves nothing of it.
  virtual bool keepsNothingOnAbandon() const { return false; }
  // What a frame was written to, for messages ("out.0012.png").
  virtual std::string NameFor(int64_t frameNumber) const = 0;
};

// Image outputs take each frame's channels and header fields from `source`, and
// state `pixelAspect` (N/D) when it is given.
std::unique_ptr<FrameSink> OpenImageSink(const std::string& path, const FrameSource& source,
                                         std::optional<double> pixelAspect = std::nullopt);
std::unique_ptr<FrameSink> OpenSequenceSink(const std::string& pattern, const FrameSource& source,
                                            std::optional<double> pixelAspect = std::nullopt);
std::unique_ptr<FrameSink> OpenVideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                                         std::optional<AudioSource> audio, const VideoStyle& style = {});

// Creates the folders `outputPath` needs that do not exist yet, and removes
// those of them still empty when it goes, so a run that wrote nothing leaves
// nothing. Throws HostError naming the folder when one cannot be made.
class OutputFolders {
 public:
  explicit OutputFolders(const std::string& outputPath);
  ~OutputFolders();
  OutputFolders(const OutputFolders&) = delete;
  OutputFolders& operator=(const OutputFolders&) = delete;
 private:
  void RemoveEmpty() noexcept;
  std::vector<std::string> created_;   // outermost first
};

// Checks before any work that `outputPath`'s folder exists and takes a new file
// (by creating and removing one). Throws HostError naming the path.
void CheckOutputFolder(const std::string& outputPath);

}  // namespace lfhost
