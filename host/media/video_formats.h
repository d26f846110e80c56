// What the video side knows about formats, in one place: frame rates and
// timecodes, how a stream's pictures are coded and what their colours mean,
// pixel formats, and the one table of the containers we read and write and the
// codecs each holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lfhost {

struct FrameRate {
  int64_t num = 24;
  int64_t den = 1;
  double value() const { return static_cast<double>(num) / static_cast<double>(den); }
  std::string text() const { return std::to_string(num) + "/" + std::to_string(den); }
};

// The rates a video is written at: from one frame a minute to 1000 frames a
// second, which every container we write takes. Matroska and WebM time frames
// in milliseconds, so faster frames would share one time; MP4 and QuickTime
// refuse, or mistime, frames that last many minutes.
inline constexpr FrameRate kSlowestVideoRate{1, 60};
inline constexpr FrameRate kFastestVideoRate{1000, 1};
bool IsWritableFrameRate(const FrameRate& rate);

// "24", "25/1", "30000/1001", "29.97" (the NTSC rates 23.976, 29.97, 59.94 are
// taken as n x 1000/1001); nothing for text that is not a positive rate.
std::optional<FrameRate> ParseFrameRate(const std::string& text);
// ffprobe's "num/den" (reduced); nothing for "0/0" or a non-positive part.
std::optional<FrameRate> RationalRate(const std::string& text);

// The timecode `frames` frames after `timecode` at this rate ("01:00:00:00",
// or with ";" before the frames for drop-frame); unreadable text as it is.
std::string TimecodeAfter(const std::string& timecode, FrameRate rate, int64_t frames);

// Audio to carry into an output: the part of `path`'s first audio stream that
// starts at `startSeconds`, `durationSeconds` long (the whole rest if unset).
struct AudioSource {
  std::string path;
  double startSeconds = 0;
  std::optional<double> durationSeconds;
};

// How a video's pictures are coded and what their colours mean, in ffprobe's
// and ffmpeg's own names; "" where the file does not say.
struct VideoFormat {
  std::string codec;         // "h264", "prores", "ffv1"
  std::string profile;       // "High", "HQ"
  std::string pixelFormat;   // "yuv420p", "yuv422p10le", "bgra"
  std::string matrix;        // color_space: "bt709", "smpte170m", "gbr"
  std::string primaries;     // color_primaries
  std::string transfer;      // color_transfer
  std::string range;         // color_range: "tv" or "pc"
  std::string timecode;      // of the first frame, "01:00:00:00" (";" before the frames when drop-frame)
  // Bits a sample: the stream's own count where it states one, else its pixel
  // format's, whichever is more; 0 when neither is known.
  int32_t bits = 0;
};

// True for video of more than 8 bits a sample (10-bit ProRes, 12-bit HEVC).
bool IsDeepVideo(const VideoFormat& format);

// The YUV matrix and range of pictures of this format and height: the file's
// own where it names them, else the usual convention for untagged video
// (BT.709 from 720 lines up, BT.601 below; limited range unless the pixel
// format is a full-range "yuvj" one). Fills matrix and range.
VideoFormat WithColourDefaults(VideoFormat format, int32_t height);

// True for pixel formats that hold an alpha channel ("yuva420p", "bgra").
bool PixelFormatHasAlpha(const std::string& pixelFormat);
// True for pixel formats of luma and chroma (or luma alone) rather than R, G, B.
bool IsYuvPixelFormat(const std::string& pixelFormat);

// A codec we write: its name (as ffprobe names it and --codec takes it) and
// the encoder that writes it.
struct VideoCodec {
  const char* name;
  const char* encoder;
  // The sides of the frames the encoder takes: x264 and libvpx stop at 16384
  // pixels, x265 also refuses frames under 16 pixels a side.
  int32_t smallestSide, largestSide;
};

// A container we write: the codecs it holds, the one it takes when the
// input's cannot go in it, the audio it holds as it is (ffprobe's names;
// "pcm_" stands for linear PCM of any width and order) and what other audio is
// re-encoded to.
struct VideoContainer {
  const char* extension;                  // ".mp4", lower case
  const char* defaultCodec;
  std::vector<std::string> codecs;
  std::vector<std::string> audio;
  std::vector<std::string> audioEncoding;   // ffmpeg's arguments, "-c:a" first
  bool faststart;                         // an index at the front, for players on the network
  bool Holds(const std::string& codec) const;
  bool HoldsAudio(const std::string& codec) const;
};

// The container written for this extension (any case, with the dot); null for
// one we do not write.
const VideoContainer* FindContainer(const std::string& extension);
// The codec of this name; null for one we do not write.
const VideoCodec* FindCodec(const std::string& name);
// ".mp4, .m4v, .mov, .mkv or .webm", for messages; the codecs likewise, "h264, hevc, ...".
std::string WritableVideoExtensions();
std::string WritableCodecNames();

// Extensions (with the dot, any case) taken as video input, and those we write.
bool IsVideoExtension(const std::string& extension);
bool IsWritableVideoExtension(const std::string& extension);

// The pixel formats an encoder takes, as ffmpeg's own help lists them (asked of
// the library it encodes with).
std::vector<std::string> EncoderPixelFormats(const std::string& encoder);

// The extension of `path`, lower case, with the dot.
std::string ExtensionOf(const std::string& path);

}  // namespace lfhost
