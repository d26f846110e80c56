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

#include "host/image_buffer.h"
#include "host/video_io.h"

namespace lfhost {

enum class MediaKind { Image, Sequence, Video };

// A pattern in the file name makes a sequence, a video extension a video,
// anything else a single image.
MediaKind MediaKindOf(const std::string& path);

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

// "A-B" (inclusive) or "A": frame numbers from 0 up.
struct FrameRange {
  int64_t first = 0;
  int64_t last = 0;
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
  int64_t frameCount() const { return static_cast<int64_t>(numbers_.size()); }
  int64_t frameNumber(int64_t index) const { return numbers_.at(static_cast<size_t>(index)); }
  const std::vector<int64_t>& frameNumbers() const { return numbers_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // The next frame. Throws HostError naming the file (and frame) if it cannot be
  // read or differs in size from the first.
  virtual ImageBuffer ReadNext() = 0;
  // Stops any helper program early.
  virtual void Close() {}
  // The input's frame rate, for a video output.
  virtual std::optional<FrameRate> frameRate() const { return std::nullopt; }
  // Audio to keep in a video output: the part under the frames read.
  virtual std::optional<AudioSource> audio() const { return std::nullopt; }
  // Keeps only part `chunk` of the frames, before the first ReadNext. Throws
  // RangeError when there are fewer frames than parts.
  void KeepChunk(FrameChunk chunk);

 protected:
  std::vector<int64_t> numbers_;
  int32_t width_ = 0, height_ = 0;
};

// All of these throw HostError naming the file or pattern (exit status 1) for
// missing, unreadable or oversized input and a pattern that matches nothing;
// a range outside the input throws RangeError (a usage mistake).
class RangeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::unique_ptr<FrameSource> OpenImageSource(const std::string& path);
// Every frame of the sequence within `range` (all when unset); the range must
// lie within the first and last frame found. The header of every frame is read
// up front, so a missing, oversized or differently sized frame stops the run
// before anything is written.
std::unique_ptr<FrameSource> OpenSequenceSource(const std::string& pattern, std::optional<FrameRange> range);
// Frames `range` of the video by 0-based index (all when unset).
std::unique_ptr<FrameSource> OpenVideoSource(const std::string& path, std::optional<FrameRange> range);
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
  // Completes the output (a video is closed and renamed into place).
  virtual void Finish() {}
  // Drops what is not complete: a video's temporary file. Image files already
  // written are complete and stay.
  virtual void Abandon() noexcept {}
  // True for an all-or-nothing output (a video, a single image): after a stop
  // it takes no more frames, and Abandon leaves nothing of it.
  virtual bool keepsNothingOnAbandon() const { return false; }
  // What a frame was written to, for messages ("out.0012.png").
  virtual std::string NameFor(int64_t frameNumber) const = 0;
};

std::unique_ptr<FrameSink> OpenImageSink(const std::string& path);
std::unique_ptr<FrameSink> OpenSequenceSink(const std::string& pattern);
std::unique_ptr<FrameSink> OpenVideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                                         std::optional<AudioSource> audio);

// Checks before any work that `outputPath`'s folder exists and takes a new file
// (by creating and removing one). Throws HostError naming the path.
void CheckOutputFolder(const std::string& outputPath);

}  // namespace lfhost
