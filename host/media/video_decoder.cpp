#include "host/media/video_decoder.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "host/core/host_error.h"
#include "host/media/files.h"

namespace lfhost {
namespace {

struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  std::string s = text;
  if (!s.empty()) s[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
  return s;
}

}  // namespace

// The libraries' messages about one file: the first error is the damage a
// decode that went on to the end stepped over, or why one failed.
struct VideoDecoder::State {
  std::string path;
  std::unique_ptr<AVFormatContext, FormatCloser> format;
  std::unique_ptr<AVCodecContext, CodecFreer> codec;
  std::unique_ptr<AVFrame, FrameFreer> frame{av_frame_alloc()};
  std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
  int stream = -1;
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
  bool draining = false, ended = false, reported = false;
  std::mutex mutex;      // decoder threads log too
  std::string damage;    // the first error message, once whole
  std::string pending;   // an error message still being written, in parts

  void Note(const char* text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!damage.empty()) return;
    pending += text;
    if (pending.empty() || pending.back() != '\n') return;
    while (!pending.empty() && (pending.back() == '\n' || pending.back() == '\r')) pending.pop_back();
    damage.swap(pending);
  }
  // The first error, or `fallback` when the libraries said nothing.
  std::string Why(const std::string& fallback) {
    std::lock_guard<std::mutex> lock(mutex);
    return !damage.empty() ? damage : !pending.empty() ? pending : fallback;
  }
  [[noreturn]] void Fail(const std::string& why) { throw HostError(path + ": cannot decode the video (" + why + ")"); }
};

namespace {

// How many QuietLibraryLog live on this thread.
thread_local int tQuietLogs = 0;

// Messages from our own demuxers and decoders (their contexts' opaque is the
// decoder's state) are kept, the errors among them, and never printed: the
// tool says what went wrong itself. So are those of a thread that asked for
// quiet, and dropped. Any other user of the libraries in this process keeps
// their usual log.
void LogCallback(void* object, int level, const char* format, va_list args) {
  const AVClass* kind = object ? *static_cast<const AVClass**>(object) : nullptr;
  void* owner = nullptr;
  if (kind == avcodec_get_class()) owner = static_cast<AVCodecContext*>(object)->opaque;
  if (kind == avformat_get_class()) owner = static_cast<AVFormatContext*>(object)->opaque;
  if (owner == nullptr && tQuietLogs > 0) return;
  if (owner == nullptr) return av_log_default_callback(object, level, format, args);
  if (level > AV_LOG_ERROR) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  static_cast<VideoDecoder::State*>(owner)->Note(text);
}

void RouteLibraryLog() {
  static std::once_flag logging;
  std::call_once(logging, [] { av_log_set_callback(LogCallback); });
}

}  // namespace

QuietLibraryLog::QuietLibraryLog() {
  RouteLibraryLog();
  ++tQuietLogs;
}

QuietLibraryLog::~QuietLibraryLog() { --tQuietLogs; }

VideoDecoder::VideoDecoder(const std::string& path) : state_(std::make_unique<State>()) {
  RouteLibraryLog();
  State& s = *state_;
  s.path = path;
  if (!s.frame || !s.packet) throw std::bad_alloc();
  AVFormatContext* format = avformat_alloc_context();
  if (!format) throw std::bad_alloc();
  format->opaque = &s;
  // On failure avformat_open_input frees the context itself.
  if (const int e = avformat_open_input(&format, path.c_str(), nullptr, nullptr); e < 0) s.Fail(s.Why(ErrorText(e)));
  s.format.reset(format);
  if (const int e = avformat_find_stream_info(format, nullptr); e < 0) s.Fail(s.Why(ErrorText(e)));
  for (unsigned i = 0; i < format->nb_streams && s.stream < 0; ++i) {
    if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) s.stream = static_cast<int>(i);
  }
  if (s.stream < 0) s.Fail("no video stream");
  // Only the chosen stream's packets are read.
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (static_cast<int>(i) != s.stream) format->streams[i]->discard = AVDISCARD_ALL;
  }
  const AVStream* stream = format->streams[s.stream];
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!decoder) s.Fail("no decoder for " + std::string(avcodec_get_name(stream->codecpar->codec_id)));
  s.codec.reset(avcodec_alloc_context3(decoder));
  if (!s.codec) throw std::bad_alloc();
  s.codec->opaque = &s;
  if (const int e = avcodec_parameters_to_context(s.codec.get(), stream->codecpar); e < 0) s.Fail(ErrorText(e));
  s.codec->pkt_timebase = stream->time_base;
  s.codec->thread_count = 0;   // one a core
  s.codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (const int e = avcodec_open2(s.codec.get(), decoder, nullptr); e < 0) s.Fail(s.Why(ErrorText(e)));
}

VideoDecoder::~VideoDecoder() = default;

bool VideoDecoder::Next(VideoSamples& out) {
  State& s = *state_;
  while (!s.ended) {
    const int got = avcodec_receive_frame(s.codec.get(), s.frame.get());
    if (got == 0) break;
    if (got == AVERROR_EOF) {
      s.ended = true;
      break;
    }
    // A frame the decoder could not make is stepped over, as the damage it is.
    if (got != AVERROR(EAGAIN)) {
      s.Note((ErrorText(got) + "\n").c_str());
      continue;
    }
    if (s.draining) {   // a decoder that asks for more after its end has nothing more
      s.ended = true;
      break;
    }
    const int read = av_read_frame(s.format.get(), s.packet.get());
    if (read < 0) {
      // A read that fails before the end is a file cut short or damaged: what
      // was read is decoded to its end.
      if (read != AVERROR_EOF) s.Note((ErrorText(read) + "\n").c_str());
      s.draining = true;
      avcodec_send_packet(s.codec.get(), nullptr);
      continue;
    }
    if (s.packet->stream_index == s.stream) {
      const int sent = avcodec_send_packet(s.codec.get(), s.packet.get());
      if (sent < 0 && sent != AVERROR(EAGAIN)) s.Note((ErrorText(sent) + "\n").c_str());
    }
    av_packet_unref(s.packet.get());
  }
  if (s.ended) {
    const std::string why = s.Why("");
    if (!why.empty() && !s.reported) {
      s.reported = true;
      ReportDamage(s.path, why);
    }
    return false;
  }
  const AVFrame& f = *s.frame;
  if (s.pixelFormat == AV_PIX_FMT_NONE) s.pixelFormat = av_get_pix_fmt(out.layout().pixelFormat.c_str());
  if (f.format != s.pixelFormat || f.width != out.width() || f.height != out.height()) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(f.format));
    const std::string got = std::to_string(f.width) + "x" + std::to_string(f.height) + " " + (name ? name : "?");
    av_frame_unref(s.frame.get());
    s.Fail("a frame of " + got + " in a video of " + std::to_string(out.width()) + "x" + std::to_string(out.height()) +
           " " + out.layout().pixelFormat);
  }
  const size_t sampleBytes = static_cast<size_t>(out.layout().sampleBytes());
  for (int32_t p = 0; p < out.layout().planes(); ++p) {
    const size_t rowBytes = static_cast<size_t>(out.planeWidth(p)) * sampleBytes;
    for (int32_t y = 0; y < out.planeHeight(p); ++y) {
      std::memcpy(out.row<uint8_t>(p, 0) + y * rowBytes, f.data[p] + static_cast<ptrdiff_t>(y) * f.linesize[p], rowBytes);
    }
  }
  av_frame_unref(s.frame.get());
  return true;
}

}  // namespace lfhost
