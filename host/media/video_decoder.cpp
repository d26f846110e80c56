#include "host/media/video_decoder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "host/core/host_error.h"
#include "host/core/worker_pool.h"
#include "host/media/files.h"
#include "host/media/libav_messages.h"

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

// Whether the header left the first video stream undescribed (or found no
// stream at all): its codec or picture size unknown until packets are read.
bool NeedsStreamInfo(const AVFormatContext& format) {
  if (format.ctx_flags & AVFMTCTX_NOHEADER) return true;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVCodecParameters& p = *format.streams[i]->codecpar;
    if (p.codec_type != AVMEDIA_TYPE_VIDEO) continue;
    return p.codec_id == AV_CODEC_ID_NONE || p.width <= 0 || p.height <= 0;
  }
  return true;
}

}  // namespace

// The libraries' contexts for one file, and what they said: the first error
// is the damage a decode that went on to the end stepped over, or why one failed.
struct VideoDecoder::State : LibavMessages {
  std::string path;
  std::unique_ptr<AVFormatContext, FormatCloser> format;
  std::unique_ptr<AVCodecContext, CodecFreer> codec;
  std::unique_ptr<AVFrame, FrameFreer> frame{av_frame_alloc()};
  std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
  int stream = -1;
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
  bool draining = false, ended = false, reported = false;

  [[noreturn]] void Fail(const std::string& why) { throw HostError(path + ": cannot decode the video (" + why + ")"); }
};

VideoDecoder::VideoDecoder(const std::string& path) : state_(std::make_unique<State>()) {
  KeepLibavMessages();
  State& s = *state_;
  s.path = path;
  if (!s.frame || !s.packet) throw std::bad_alloc();
  AVFormatContext* format = avformat_alloc_context();
  if (!format) throw std::bad_alloc();
  format->opaque = static_cast<LibavMessages*>(&s);
  // On failure avformat_open_input frees the context itself.
  if (const int e = avformat_open_input(&format, path.c_str(), nullptr, nullptr); e < 0) s.Fail(s.Why(LibavErrorText(e)));
  s.format.reset(format);
  // The probe has already described the file; what the decoder needs of it is
  // the video stream's codec and parameters, which a container with a header
  // (MP4, QuickTime, Matroska...) gives as it opens. Its own stream-info pass
  // would decode the first frames again, serially, before anything else can
  // start: only files whose streams are found by reading (MPEG streams) or
  // whose header leaves the picture size unknown are read ahead for it.
  if (NeedsStreamInfo(*format)) {
    if (const int e = avformat_find_stream_info(format, nullptr); e < 0) s.Fail(s.Why(LibavErrorText(e)));
  }
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
  s.codec->opaque = static_cast<LibavMessages*>(&s);
  if (const int e = avcodec_parameters_to_context(s.codec.get(), stream->codecpar); e < 0) s.Fail(LibavErrorText(e));
  s.codec->pkt_timebase = stream->time_base;
  // Each frame thread holds frames of its own: at 1080p H.264 on 2 processors,
  // 47 MB of buffers that the kernel faults in page by page, 12,000 faults and
  // 5 % of a whole render's time. Below 8 processors the encoder and the render
  // keep every processor busy anyway, and decoding on slices alone is faster;
  // with more, one decoding thread could hold back a fast encoder, so frames
  // are decoded side by side as well. (8 is a judgement: only 2 processors
  // were measured.) The decoded samples are the same either way.
  s.codec->thread_count = 0;   // one a core
  s.codec->thread_type = WorkerPool::AllowedProcessors() >= 8 ? FF_THREAD_FRAME | FF_THREAD_SLICE : FF_THREAD_SLICE;
  if (const int e = avcodec_open2(s.codec.get(), decoder, nullptr); e < 0) s.Fail(s.Why(LibavErrorText(e)));
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
      s.Note((LibavErrorText(got) + "\n").c_str());
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
      if (read != AVERROR_EOF) s.Note((LibavErrorText(read) + "\n").c_str());
      s.draining = true;
      avcodec_send_packet(s.codec.get(), nullptr);
      continue;
    }
    if (s.packet->stream_index == s.stream) {
      const int sent = avcodec_send_packet(s.codec.get(), s.packet.get());
      if (sent < 0 && sent != AVERROR(EAGAIN)) s.Note((LibavErrorText(sent) + "\n").c_str());
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
