#include "host/media/video_probe.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "host/core/host_error.h"
#include "host/core/image_buffer.h"
#include "host/media/files.h"
#include "host/media/libav_messages.h"

namespace lfhost {
namespace {

// ffmpeg drops a Y4M file's last frame without a word when the file is cut
// short inside it, so a cut file would pass for a whole one. Every frame is a
// "FRAME" line and the same number of bytes, which the first two frame lines
// measure; the rest are walked at that stride. Empty when the file is whole,
// too short to tell (one frame) or no Y4M.
std::string Y4mDamage(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!std::getline(file, line) || line.rfind("YUV4MPEG2 ", 0) != 0) return "";
  file.seekg(0, std::ios::end);
  const uint64_t size = static_cast<uint64_t>(file.tellg());
  const uint64_t first = line.size() + 1;
  file.seekg(static_cast<std::streamoff>(first));
  if (!std::getline(file, line) || line.rfind("FRAME", 0) != 0) return "frame 0 has no FRAME line";
  const uint64_t firstData = first + line.size() + 1;
  // The second frame line: the first "FRAME" after the first frame's data,
  // looked for in the file's raw bytes.
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(size - firstData, uint64_t{1} << 27)), '\0');
  file.seekg(static_cast<std::streamoff>(firstData));
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(file.gcount()));
  file.clear();
  // A frame's pixels may hold the letters "FRAME" too: a stride that does not
  // find every later frame line is passed over for the next.
  for (size_t candidate = bytes.find("FRAME"); candidate != std::string::npos;
       candidate = bytes.find("FRAME", candidate + 1)) {
    uint64_t at = first, frames = 0;
    for (; at < size; ++frames) {
      file.seekg(static_cast<std::streamoff>(at));
      if (!std::getline(file, line) || line.rfind("FRAME", 0) != 0) break;
      at += line.size() + 1 + candidate;
    }
    file.clear();
    if (at == size) return "";
    if (at > size) return "the file ends inside frame " + std::to_string(frames - 1);
  }
  return "";
}

struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// What one reading of a file's headers tells of it: the streams, and, when
// asked for, every video packet's time.
struct Probed {
  VideoInfo info;
  bool haveVideo = false;
  std::string audioCodec;      // the first audio stream's; "" for none
  bool timed = false;          // the packets were read: frameCount and frameGaps hold
};

// A rational of the libraries as a rate, reduced the one way rates are.
std::optional<FrameRate> RateOf(AVRational q) { return RationalRate(std::to_string(q.num) + "/" + std::to_string(q.den)); }

std::string CodecName(AVCodecID id) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  return descriptor ? descriptor->name : "";
}

// The profile's name ("High", "HQ", "4444"), its number for a codec that
// names none, "" when the file gives none.
std::string ProfileName(const AVCodecParameters& codec) {
  if (const char* name = avcodec_profile_name(codec.codec_id, codec.profile)) return name;
  return codec.profile != FF_PROFILE_UNKNOWN ? std::to_string(codec.profile) : "";
}

// A colour property's name; "" where the file leaves it unspecified.
std::string ColourName(const char* name, bool unspecified) { return name != nullptr && !unspecified ? name : ""; }

// Bits a sample of the pixel format: its deepest component's; 0 for none.
int32_t PixelFormatBits(int format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  int32_t most = 0;
  for (int c = 0; descriptor != nullptr && c < descriptor->nb_components; ++c) {
    most = std::max(most, static_cast<int32_t>(descriptor->comp[c].depth));
  }
  return most;
}

// A timecode tag ("timecode"; Matroska spells it in capitals), "" for none.
std::string TimecodeTag(const AVDictionary* tags) {
  for (const char* key : {"timecode", "TIMECODE"}) {
    if (const AVDictionaryEntry* tag = av_dict_get(tags, key, nullptr, AV_DICT_MATCH_CASE)) return tag->value;
  }
  return "";
}

// The first video stream's facts.
void ReadVideoStream(AVFormatContext& file, AVStream& stream, VideoInfo& info) {
  const AVCodecParameters& codec = *stream.codecpar;
  VideoFormat& format = info.format;
  format.codec = CodecName(codec.codec_id);
  format.profile = ProfileName(codec);
  const char* pixelFormat = av_get_pix_fmt_name(static_cast<AVPixelFormat>(codec.format));
  format.pixelFormat = pixelFormat ? pixelFormat : "";
  format.bits = std::max(PixelFormatBits(codec.format), codec.bits_per_raw_sample);
  const auto space = codec.color_space;
  const auto primaries = codec.color_primaries;
  const auto transfer = codec.color_trc;
  const auto range = codec.color_range;
  format.matrix = ColourName(av_color_space_name(space), space == AVCOL_SPC_UNSPECIFIED);
  format.primaries = ColourName(av_color_primaries_name(primaries), primaries == AVCOL_PRI_UNSPECIFIED);
  format.transfer = ColourName(av_color_transfer_name(transfer), transfer == AVCOL_TRC_UNSPECIFIED);
  format.range = ColourName(av_color_range_name(range), range == AVCOL_RANGE_UNSPECIFIED);
  // The container's pixel aspect where it states one, else the codec's.
  if (const std::optional<FrameRate> aspect = RateOf(av_guess_sample_aspect_ratio(&file, &stream, nullptr))) {
    info.sampleAspect = *aspect;
  }
  info.width = codec.width;
  info.height = codec.height;
  const std::optional<FrameRate> rate = RateOf(stream.r_frame_rate);
  const std::optional<FrameRate> average = RateOf(stream.avg_frame_rate);
  // The stream's base rate (exact for constant-rate video); the average where
  // the base rate is unknown or is a timestamp clock rather than a frame rate.
  if (rate && rate->value() <= 1000) info.frameRate = *rate;
  else if (average) info.frameRate = *average;
}

// The facts of the first `streams` streams (those the headers list).
void ReadStreams(AVFormatContext& file, unsigned streams, Probed& probed) {
  VideoInfo& info = probed.info;
  for (unsigned i = 0; i < streams; ++i) {
    AVStream& stream = *file.streams[i];
    const AVMediaType type = stream.codecpar->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO && !info.hasAudio) {
      info.hasAudio = true;
      probed.audioCodec = CodecName(stream.codecpar->codec_id);
    }
    if (type != AVMEDIA_TYPE_VIDEO || probed.haveVideo) continue;
    probed.haveVideo = true;
    ReadVideoStream(file, stream, info);
  }
  // A timecode track or tag, wherever the container keeps it.
  for (unsigned i = 0; i < streams && info.format.timecode.empty(); ++i) {
    info.format.timecode = TimecodeTag(file.streams[i]->metadata);
  }
  if (info.format.timecode.empty()) info.format.timecode = TimecodeTag(file.metadata);
  if (probed.haveVideo) info.format = WithColourDefaults(info.format, info.height);
}

// Every packet of the file, read as stored and not decoded: the video
// stream's are counted and their times kept. A read that fails ends the file
// as its end does: how much of a damaged file plays is the decoder's to say.
std::vector<int64_t> ReadPacketTimes(AVFormatContext& file, int videoIndex, int64_t& count) {
  std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  std::vector<int64_t> times;
  count = 0;
  while (av_read_frame(&file, packet.get()) >= 0) {
    if (packet->stream_index == videoIndex) {
      ++count;
      if (packet->pts != AV_NOPTS_VALUE) times.push_back(packet->pts);
    }
    av_packet_unref(packet.get());
  }
  return times;
}

// Whether the frames are evenly spaced: a variable-rate clip's are not, by
// more than the clock's tick.
void MeasureFrameGaps(std::vector<int64_t> times, AVRational clock, VideoInfo& info) {
  const std::optional<FrameRate> timeBase = RateOf(clock);
  if (!timeBase || times.size() < 3 || static_cast<int64_t>(times.size()) != info.frameCount) return;
  std::sort(times.begin(), times.end());
  int64_t shortest = INT64_MAX, longest = 0;
  for (size_t i = 1; i < times.size(); ++i) {
    shortest = std::min(shortest, times[i] - times[i - 1]);
    longest = std::max(longest, times[i] - times[i - 1]);
  }
  if (longest - shortest > 1) {
    const double tick = static_cast<double>(timeBase->num) / static_cast<double>(timeBase->den);
    info.frameGaps = {shortest * tick, longest * tick};
  }
}

[[noreturn]] void Unreadable(const std::string& path, int error) {
  char text[128];
  const char* why = text;
  if (av_strerror(error, text, sizeof text) < 0) why = std::strerror(AVUNERROR(error));
  throw HostError(path + ": cannot read the video (" + path + ": " + why + ")");
}

// Opens the file and finds its streams' parameters (decoding a few frames
// where the headers do not say). A transport stream's programs are all
// scanned first, so a stream only a later program lists is not missed.
std::unique_ptr<AVFormatContext, FormatCloser> OpenVideo(const std::string& path) {
  AVDictionary* options = nullptr;
  av_dict_set(&options, "scan_all_pmts", "1", 0);
  AVFormatContext* opened = nullptr;
  const int error = avformat_open_input(&opened, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (error < 0) Unreadable(path, error);   // the context is freed on failure
  std::unique_ptr<AVFormatContext, FormatCloser> file(opened);
  if (const int e = avformat_find_stream_info(file.get(), nullptr); e < 0) Unreadable(path, e);
  return file;
}

// Reads everything a render asks of a file in one opening, in this process:
// a child to do it costs more than the reading.
Probed RunProbe(const std::string& path, bool packets) {
  QuietLibraryLog quiet;
  const auto file = OpenVideo(path);
  // Streams that appear while the packets are read are not the file's own.
  const unsigned streams = file->nb_streams;
  int videoIndex = -1;
  for (unsigned i = 0; i < streams && videoIndex < 0; ++i) {
    if (file->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) videoIndex = static_cast<int>(i);
  }
  Probed probed;
  std::vector<int64_t> times;
  if (packets && videoIndex >= 0) times = ReadPacketTimes(*file, videoIndex, probed.info.frameCount);
  // Read after the packets, which may have told the demuxer more of a stream.
  ReadStreams(*file, streams, probed);
  probed.timed = packets;
  if (packets && videoIndex >= 0) MeasureFrameGaps(std::move(times), file->streams[videoIndex]->time_base, probed.info);
  return probed;
}

// What was read of each file this run, by the file's identity, size and
// times, so a file changed since is read again.
Probed Probe(const std::string& path, bool packets) {
  CheckInputFile(path);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw HostError(path + ": cannot read the video");
  const std::string key = path + '\n' + std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' +
                          std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
                          std::to_string(st.st_mtim.tv_nsec) + ':' + std::to_string(st.st_ctim.tv_sec) + '.' +
                          std::to_string(st.st_ctim.tv_nsec);
  static std::mutex mutex;
  static std::map<std::string, Probed> known;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = known.find(key);
    if (it != known.end() && (it->second.timed || !packets)) return it->second;
  }
  Probed probed = RunProbe(path, packets);
  std::lock_guard<std::mutex> lock(mutex);
  return known[key] = std::move(probed);
}

}  // namespace

std::string AudioCodecOf(const std::string& path) { return Probe(path, false).audioCodec; }

VideoInfo ProbeVideoStreams(const std::string& path) {
  const Probed probed = Probe(path, false);
  if (!probed.haveVideo) throw HostError(path + ": has no video stream");
  return probed.info;
}

VideoInfo ProbeVideo(const std::string& path) {
  const Probed probed = Probe(path, true);
  if (!probed.haveVideo) throw HostError(path + ": has no video stream");
  VideoInfo info = probed.info;
  if (info.width <= 0 || info.height <= 0) throw HostError(path + ": the video has no frame size");
  if (info.width > kMaxFrameSide || info.height > kMaxFrameSide) {
    throw HostError(path + ": " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                    " is too large: at most 32767 pixels in either dimension");
  }
  if (const std::string why = Y4mDamage(path); !why.empty()) ReportDamage(path, why);
  if (info.frameCount <= 0) throw HostError(path + ": the video has no frames");
  return info;
}

}  // namespace lfhost
