// Where rendered frames go: a single image, an image sequence or a video.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/core/cancel_token.h"
#include "host/core/image_buffer.h"
#include "host/media/frame_sources.h"
#include "host/media/video_writer.h"

namespace lfhost {

// Where rendered frames go. Write is called in frame order on one thread,
// unless the sink writes each frame on its own (writesFramesAtOnce).
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual void Write(int64_t frameNumber, const MediaFrame& frame) = 0;
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
  // Every file a frame was written to: NameFor's, then the flare alone's
  // beside it when there is one.
  virtual std::vector<std::string> NamesFor(int64_t frameNumber) const { return {NameFor(frameNumber)}; }
};

// Image outputs take each 8-bit frame's channels and header fields from
// `source`, and state `pixelAspect` (N/D) when it is given; a plate carries its
// own and is written as `plates` says. A JPEG output keeps the quality of the
// frame's input unless `plates` gives one.
std::unique_ptr<FrameSink> OpenImageSink(const std::string& path, const FrameSource& source,
                                         std::optional<double> pixelAspect = std::nullopt,
                                         const PlateWriting& plates = {});
std::unique_ptr<FrameSink> OpenSequenceSink(const std::string& pattern, const FrameSource& source,
                                            std::optional<double> pixelAspect = std::nullopt,
                                            const PlateWriting& plates = {});
// Writes each frame to `plate` and the flare alone that comes with it
// (MediaFrame::flare) to `flare`, a sink of the same kind: a failure or stop of
// either is one of the pair.
std::unique_ptr<FrameSink> OpenPairedSink(std::unique_ptr<FrameSink> plate, std::unique_ptr<FrameSink> flare);
std::unique_ptr<FrameSink> OpenVideoSink(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                                         std::optional<AudioSource> audio, const VideoStyle& style = {});

}  // namespace lfhost
