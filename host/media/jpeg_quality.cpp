#include "host/media/jpeg_quality.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

namespace lfhost {
namespace {

// libjpeg ends the process on an error unless told otherwise: its errors jump
// back to the call that started the work, and its warnings (a damaged file's)
// are left to the read of the pixels to report.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

extern "C" void JumpBack(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1); }
extern "C" void SayNothing(j_common_ptr) {}

void UseErrors(JpegErrors& errors) {
  jpeg_std_error(&errors.manager);
  errors.manager.error_exit = JumpBack;
  errors.manager.output_message = SayNothing;
}

void Copy(const JQUANT_TBL& from, QuantTable& to) {
  for (size_t i = 0; i < to.size(); ++i) to[i] = from.quantval[i];
}

// Fills `tables` from the header of the JPEG `file`; false when it cannot be
// read. Only plain data lives in this frame, as a jump back out of libjpeg
// skips destructors.
bool ReadTables(std::FILE* file, JpegTables& tables) {
  jpeg_decompress_struct info;
  JpegErrors errors;
  UseErrors(errors);
  info.err = &errors.manager;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  bool read = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK && info.num_components > 0;
  for (int c = 0; read && c < info.num_components; ++c) {
    const int slot = info.comp_info[c].quant_tbl_no;
    const JQUANT_TBL* table = slot >= 0 && slot < NUM_QUANT_TBLS ? info.quant_tbl_ptrs[slot] : nullptr;
    if (!table) {
      read = false;
    } else if (c == 0) {
      Copy(*table, tables.luma);
    } else if (!tables.chroma) {
      Copy(*table, tables.chroma.emplace());
    } else {
      for (size_t i = 0; i < tables.chroma->size(); ++i) {
        (*tables.chroma)[i] = std::min<uint16_t>((*tables.chroma)[i], table->quantval[i]);
      }
    }
  }
  jpeg_destroy_decompress(&info);
  return read;
}

// libjpeg's own scaling of its standard tables, with every entry held to 1 to
// 255 (baseline JPEG), as OpenImageIO's writer asks for.
bool ScaledTables(int quality, JpegTables& tables) {
  jpeg_compress_struct info;
  JpegErrors errors;
  UseErrors(errors);
  info.err = &errors.manager;
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  info.in_color_space = JCS_RGB;
  info.input_components = 3;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  Copy(*info.quant_tbl_ptrs[0], tables.luma);
  Copy(*info.quant_tbl_ptrs[1], tables.chroma.emplace());
  jpeg_destroy_compress(&info);
  return true;
}

bool NowhereCoarser(const QuantTable& candidate, const QuantTable& kept) {
  for (size_t i = 0; i < kept.size(); ++i) {
    if (candidate[i] > kept[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<JpegTables> ReadJpegTables(const std::string& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  JpegTables tables;
  if (!file || !ReadTables(file.get(), tables)) return std::nullopt;
  return tables;
}

JpegTables TablesAtQuality(int quality) {
  // Computed once: a sequence asks for every frame.
  static const std::array<JpegTables, 100> kScaled = [] {
    std::array<JpegTables, 100> scaled;
    for (int q = 1; q <= 100; ++q) {
      if (!ScaledTables(q, scaled[static_cast<size_t>(q - 1)])) std::abort();
    }
    return scaled;
  }();
  return kScaled[static_cast<size_t>(std::clamp(quality, 1, 100) - 1)];
}

int QualityKeeping(const JpegTables& tables) {
  // Each entry only falls as the quality rises, and quality 100 stores every
  // frequency at step 1, finer than anything: the first quality nowhere
  // coarser is the answer, and an exact match when there is one.
  for (int q = 1; q < 100; ++q) {
    const JpegTables scaled = TablesAtQuality(q);
    if (NowhereCoarser(scaled.luma, tables.luma) &&
        (!tables.chroma || NowhereCoarser(*scaled.chroma, *tables.chroma))) {
      return q;
    }
  }
  return 100;
}

std::optional<int> JpegQualityOf(const std::string& path) {
  const std::optional<JpegTables> tables = ReadJpegTables(path);
  if (!tables) return std::nullopt;
  return QualityKeeping(*tables);
}

}  // namespace lfhost
