#include "host/media/sample_encoder.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

#include "host/core/host_error.h"
#include "host/media/libav_messages.h"

namespace lfhost {
namespace {

constexpr int kPipeBuffer = 1 << 16;

// Lets go of samples the encoder held (av_buffer_create's free callback).
void ReleaseSamples(void* held, uint8_t*) { delete static_cast<std::shared_ptr<const uint8_t>*>(held); }

struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FormatFreer {
  void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct IoFreer {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
// A file libavformat opened; closing it here means it was abandoned.
struct FileCloser {
  void operator()(AVIOContext* io) const { avio_closep(&io); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// ffmpeg's "-profile:v" is the AVOption "profile".
std::string OptionName(const std::string& flag) {
  const std::string name = flag.substr(flag.rfind('-', 0) == 0 ? 1 : 0);
  return name.substr(0, name.find(':'));
}

}  // namespace

struct SampleEncoder::State : LibavMessages {
  Sink sink;
  std::unique_ptr<AVCodecContext, CodecFreer> codec;
  std::unique_ptr<AVIOContext, IoFreer> io;         // the sink's, for NUT
  std::unique_ptr<AVIOContext, FileCloser> file;    // or the video file's
  std::unique_ptr<AVFormatContext, FormatFreer> muxer;   // freed before the io it writes to
  // Points at the caller's samples while the encoder copies them; never owns them.
  std::unique_ptr<AVFrame, FrameFreer> frame{av_frame_alloc()};
  std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
  int64_t frames = 0;
  bool sinkFailed = false;

  void Check(int error) {
    if (error < 0) throw HostError(Why(LibavErrorText(error)));
  }
  void OpenCodec(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate);
  void OpenStream(AVFormatContext* format, AVIOContext* pb, const MuxingSettings& muxing);
  void OpenSink();
  void OpenFile(const std::string& path, const MuxingSettings& muxing);
  bool Drain(const CancelToken* cancel);
};

namespace {

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int WriteToSink(void* opaque, const uint8_t* bytes, int size) {
#else
int WriteToSink(void* opaque, uint8_t* bytes, int size) {
#endif
  auto& s = *static_cast<SampleEncoder::State*>(opaque);
  if (!s.sinkFailed && !s.sink(bytes, static_cast<size_t>(size))) s.sinkFailed = true;
  return s.sinkFailed ? AVERROR(EPIPE) : size;
}

}  // namespace

// As ffmpeg opens its own encoder: one frame a tick of the time base, the
// settings as AVOptions, headers apart from the frames (NUT, like every
// container we write, keeps them so), a thread a core.
void SampleEncoder::State::OpenCodec(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate) {
  const AVCodec* encoder = avcodec_find_encoder_by_name(settings.encoder.c_str());
  if (!encoder) throw HostError("this ffmpeg has no " + settings.encoder + " encoder");
  codec.reset(avcodec_alloc_context3(encoder));
  if (!codec) throw std::bad_alloc();
  AVCodecContext& c = *codec;
  c.opaque = static_cast<LibavMessages*>(this);
  c.width = width;
  c.height = height;
  c.pix_fmt = av_get_pix_fmt(settings.pixelFormat.c_str());
  c.framerate = AVRational{static_cast<int>(rate.num), static_cast<int>(rate.den)};
  c.time_base = av_inv_q(c.framerate);
  // ffmpeg's setsar filter keeps the nearest ratio of terms up to 100.
  const FrameRate& sar = settings.sampleAspect;
  if (sar.num > 0) c.sample_aspect_ratio = av_d2q(static_cast<double>(sar.num) / static_cast<double>(sar.den), 100);
  c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  c.thread_count = 0;
  AVDictionary* options = nullptr;
  for (const std::vector<std::string>* list : {&settings.options, &settings.tags}) {
    for (size_t i = 0; i + 1 < list->size(); i += 2) {
      av_dict_set(&options, OptionName((*list)[i]).c_str(), (*list)[i + 1].c_str(), 0);
    }
  }
  const int opened = avcodec_open2(&c, encoder, &options);
  const AVDictionaryEntry* unused = av_dict_get(options, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  const std::string unknown = unused ? unused->key : "";
  av_dict_free(&options);
  Check(opened);
  if (!unknown.empty()) throw HostError(settings.encoder + " has no option \"" + unknown + "\"");
  // The frames say what the context says: some encoders (ProRes) store only
  // what their frames say.
  AVFrame& f = *frame;
  f.format = c.pix_fmt;
  f.width = c.width;
  f.height = c.height;
  f.sample_aspect_ratio = c.sample_aspect_ratio;
  f.color_range = c.color_range;
  f.colorspace = c.colorspace;
  f.color_primaries = c.color_primaries;
  f.color_trc = c.color_trc;
}

// The stream as ffmpeg describes one it encoded, named by its encoder as
// ffmpeg names it (a QuickTime file shows that as the compressor's name), its
// frames progressive with their chroma siting unsaid, as ffmpeg's own encode
// says; the container told what `muxing` says, as ffmpeg's options tell it.
void SampleEncoder::State::OpenStream(AVFormatContext* format, AVIOContext* pb, const MuxingSettings& muxing) {
  muxer.reset(format);
  format->opaque = static_cast<LibavMessages*>(this);
  format->pb = pb;
  AVStream* stream = avformat_new_stream(format, nullptr);
  if (!stream) throw std::bad_alloc();
  Check(avcodec_parameters_from_context(stream->codecpar, codec.get()));
  AVCodecParameters& p = *stream->codecpar;
  p.field_order = AV_FIELD_PROGRESSIVE;
  p.chroma_location = AVCHROMA_LOC_UNSPECIFIED;
  if (!muxing.tag.empty()) p.codec_tag = MKTAG(muxing.tag[0], muxing.tag[1], muxing.tag[2], muxing.tag[3]);
  stream->time_base = codec->time_base;
  stream->avg_frame_rate = codec->framerate;
  stream->r_frame_rate = codec->framerate;
  stream->sample_aspect_ratio = codec->sample_aspect_ratio;
  av_dict_set(&stream->metadata, "encoder", (std::string(LIBAVCODEC_IDENT " ") + codec->codec->name).c_str(), 0);
  if (!muxing.timecode.empty()) av_dict_set(&format->metadata, "timecode", muxing.timecode.c_str(), 0);
  AVDictionary* options = nullptr;
  if (muxing.faststart) av_dict_set(&options, "movflags", "+faststart", 0);
  const int written = avformat_write_header(format, &options);
  av_dict_free(&options);
  Check(written);
}

void SampleEncoder::State::OpenSink() {
  AVFormatContext* format = nullptr;
  Check(avformat_alloc_output_context2(&format, nullptr, "nut", nullptr));
  format->flags |= AVFMT_FLAG_CUSTOM_IO;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kPipeBuffer));
  if (!buffer) {
    avformat_free_context(format);
    throw std::bad_alloc();
  }
  io.reset(avio_alloc_context(buffer, kPipeBuffer, 1, this, nullptr, WriteToSink, nullptr));
  if (!io) {
    av_free(buffer);
    avformat_free_context(format);
    throw std::bad_alloc();
  }
  // The container is told nothing: the ffmpeg that stores the stream is.
  OpenStream(format, io.get(), {});
}

// The container as ffmpeg guesses it from the name, and the file opened as
// ffmpeg opens its output (a QuickTime file's faststart reads it back by name).
void SampleEncoder::State::OpenFile(const std::string& path, const MuxingSettings& muxing) {
  AVFormatContext* format = nullptr;
  Check(avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()));
  AVIOContext* pb = nullptr;
  const int opened = avio_open(&pb, path.c_str(), AVIO_FLAG_WRITE);
  if (opened < 0) avformat_free_context(format);
  Check(opened);
  file.reset(pb);
  OpenStream(format, pb, muxing);
}

// Writes what the encoder has ready; false when a cancel stopped it.
bool SampleEncoder::State::Drain(const CancelToken* cancel) {
  const AVRational to = muxer->streams[0]->time_base;
  for (;;) {
    const int got = avcodec_receive_packet(codec.get(), packet.get());
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
    Check(got);
    // A frame lasts a tick of the frame rate, as ffmpeg times a constant rate.
    packet->duration = 1;
    av_packet_rescale_ts(packet.get(), codec->time_base, to);
    packet->stream_index = 0;
    const int written = av_interleaved_write_frame(muxer.get(), packet.get());
    av_packet_unref(packet.get());
    Check(written);
    if (cancel && cancel->requested()) return false;
  }
}

SampleEncoder::SampleEncoder(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate)
    : state_(std::make_unique<State>()) {
  KeepLibavMessages();
  if (!state_->frame || !state_->packet) throw std::bad_alloc();
  state_->OpenCodec(settings, width, height, rate);
}

SampleEncoder::SampleEncoder(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate, Sink sink)
    : SampleEncoder(settings, width, height, rate) {
  state_->sink = std::move(sink);
  state_->OpenSink();
}

SampleEncoder::SampleEncoder(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate,
                             const std::string& path, const MuxingSettings& muxing)
    : SampleEncoder(settings, width, height, rate) {
  state_->OpenFile(path, muxing);
}

SampleEncoder::~SampleEncoder() = default;

void SampleEncoder::Encode(const VideoSamples& samples) {
  State& s = *state_;
  AVFrame& f = *s.frame;
  // Samples laid out as libavcodec lays out its own frames (planes and rows
  // aligned as on a processor with AVX-512) are handed over where they are, held by the encoder for
  // as long as it keeps the frame; others it copies into a frame of its own.
  bool aligned = true;
  for (int32_t p = 0; p < samples.layout().planes(); ++p) {
    f.data[p] = const_cast<uint8_t*>(samples.row<uint8_t>(p, 0));
    f.linesize[p] = samples.planeWidth(p) * samples.layout().sampleBytes();
    aligned = aligned && reinterpret_cast<uintptr_t>(f.data[p]) % VideoSamples::kAlignment == 0 &&
              f.linesize[p] % VideoSamples::kAlignment == 0;
  }
  if (aligned) {
    auto* held = new std::shared_ptr<const uint8_t>(samples.Share());
    f.buf[0] = av_buffer_create(const_cast<uint8_t*>(held->get()), samples.size(), ReleaseSamples, held,
                                AV_BUFFER_FLAG_READONLY);
    if (!f.buf[0]) {
      delete held;
      throw std::bad_alloc();
    }
  }
  f.pts = s.frames++;
  const int sent = avcodec_send_frame(s.codec.get(), &f);
  av_buffer_unref(&f.buf[0]);
  for (uint8_t*& plane : f.data) plane = nullptr;
  s.Check(sent);
  s.Drain(nullptr);
}

bool SampleEncoder::Finish(const CancelToken* cancel) {
  State& s = *state_;
  s.Check(avcodec_send_frame(s.codec.get(), nullptr));
  if (!s.Drain(cancel)) return false;
  // The trailer flushes what is buffered and reports a write that failed.
  s.Check(av_write_trailer(s.muxer.get()));
  if (s.file) {
    s.muxer->pb = nullptr;
    AVIOContext* pb = s.file.release();
    s.Check(avio_closep(&pb));
  }
  return true;
}

}  // namespace lfhost
