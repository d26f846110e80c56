// Frames in and out of image files: exact 8-bit round trips and the conversion
// rules for other layouts. Read and write failures are in the command-line
// error table (render_cli_errors_test.cpp).
#include "host/media/image_io.h"

#include <gtest/gtest.h>
#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <optional>

#include <jpeglib.h>

#include "host/media/jpeg_quality.h"
#include "host/media/plate_composite.h"
#include "tests/host/media_fixture.h"

namespace {

using lfhost::ImageBuffer;
using lfhost::QuantTable;

// A JPEG's tables and its luma's sampling, read with libjpeg itself.
struct JpegFacts {
  QuantTable luma{}, chroma{};
  int h = 0, v = 0;
};

JpegFacts ReadJpegFacts(const std::string& path) {
  JpegFacts facts;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return facts;
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  for (int i = 0; i < 64; ++i) {
    facts.luma[i] = info.quant_tbl_ptrs[info.comp_info[0].quant_tbl_no]->quantval[i];
    facts.chroma[i] = info.quant_tbl_ptrs[info.comp_info[info.num_components > 1].quant_tbl_no]->quantval[i];
  }
  facts.h = info.comp_info[0].h_samp_factor;
  facts.v = info.comp_info[0].v_samp_factor;
  jpeg_destroy_decompress(&info);
  std::fclose(file);
  return facts;
}

// A 48x32 JPEG of `components` (1 or 3) at `quality`, its luma sampled h x v,
// with luma entry 0 set to `firstLuma` when given (a table of a camera's own).
void WriteJpeg(const std::string& path, int components, int quality, int h, int v, std::optional<int> firstLuma = {}) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(file);
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = 48;
  info.image_height = 32;
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  if (firstLuma) info.quant_tbl_ptrs[0]->quantval[0] = static_cast<UINT16>(*firstLuma);
  info.comp_info[0].h_samp_factor = h;
  info.comp_info[0].v_samp_factor = v;
  jpeg_start_compress(&info, TRUE);
  std::vector<JSAMPLE> row(static_cast<size_t>(48 * components));
  for (JDIMENSION y = 0; y < info.image_height; ++y) {
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<JSAMPLE>((i * 37 + y * 11) % 256);
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(file);
}

class ImageIoTest : public lftest::MediaTest {
 protected:
  template <typename T>
  void WriteRaw(const std::string& path, int w, int h, int channels, OIIO::TypeDesc type, const std::vector<T>& data) {
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->open(path, OIIO::ImageSpec(w, h, channels, type)));
    ASSERT_TRUE(out->write_image(type, data.data()));
    ASSERT_TRUE(out->close());
  }
};

TEST_F(ImageIoTest, EightBitRgbaPngRoundTripsBitForBit) {
  const int w = 37, h = 23;
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<uint8_t>(i * 7 + i / 13);
  const ImageBuffer image = ImageBuffer::FromRGBA(rgba.data(), w, h);
  EXPECT_EQ(image.at(0, 0, 0), rgba[3]);   // alpha first in the world
  lfhost::WriteImage(image, Path("a.png"));
  const ImageBuffer back = lfhost::ReadImage(Path("a.png"));
  EXPECT_EQ(back.ToRGBA(), rgba);
  EXPECT_EQ(Files(), std::vector<std::string>{"a.png"});   // no temporary left
}

TEST_F(ImageIoTest, ConvertsOtherLayoutsByTheStatedRules) {
  // RGB 8-bit: alpha becomes 255.
  WriteRaw<uint8_t>(Path("rgb.png"), 2, 1, 3, OIIO::TypeDesc::UINT8, {1, 2, 3, 250, 251, 252});
  ImageBuffer rgb = lfhost::ReadImage(Path("rgb.png"));
  EXPECT_EQ(rgb.ToRGBA(), (std::vector<uint8_t>{1, 2, 3, 255, 250, 251, 252, 255}));
  // 16-bit grey: round(v x 255 / 65535); 32767 -> 127.498, 32768 -> 127.502.
  WriteRaw<uint16_t>(Path("grey16.png"), 4, 1, 1, OIIO::TypeDesc::UINT16, {0, 32767, 32768, 65535});
  ImageBuffer grey = lfhost::ReadImage(Path("grey16.png"));
  EXPECT_EQ(grey.ToRGBA(), (std::vector<uint8_t>{0, 0, 0, 255, 127, 127, 127, 255, 128, 128, 128, 255, 255, 255, 255, 255}));
  // Float RGBA: clamped to 0..1, round(v x 255) with halves away from zero.
  WriteRaw<float>(Path("f.exr"), 2, 1, 4, OIIO::TypeDesc::FLOAT, {0.5f, 1.5f, -1.0f, 1.0f, 0.0f, 0.25f, 1.0f, 0.5f});
  ImageBuffer f = lfhost::ReadImage(Path("f.exr"));
  EXPECT_EQ(f.ToRGBA(), (std::vector<uint8_t>{128, 255, 0, 255, 0, 64, 255, 128}));
}

// Every format reads back, and states no time of writing, so identical renders
// are identical files: no date, SOURCE_DATE_EPOCH's, or the input's own.
TEST_F(ImageIoTest, EveryWritableFormatReadsBackDatedOnlyAsAsked) {
  ImageBuffer image(8, 6);
  image.Fill(255, 0, 128, 255);
  auto date = [&](const std::string& name) {
    auto in = OIIO::ImageInput::open(Path(name));
    return in ? std::string(in->spec().get_string_attribute("DateTime", "none")) : "unreadable";
  };
  lfhost::ImageTraits dated;
  dated.metadata.attribute("DateTime", "2019:03:04 05:06:07");
  for (const char* name : {"o.png", "o.tif", "o.exr", "o.dpx", "o.jpg"}) {
    lfhost::WriteImage(image, Path(name));
    const ImageBuffer back = lfhost::ReadImage(Path(name));
    ASSERT_EQ(back.width(), 8) << name;
    EXPECT_EQ(back.at(3, 3, 0), 255) << name;
    EXPECT_NEAR(back.at(3, 3, 2), 128, 2) << name;   // JPEG may move a level or two
    EXPECT_NEAR(back.at(3, 3, 3), 255, 2) << name;
    EXPECT_EQ(date(name), "none") << name;
    lfhost::WritePlate(lfhost::PlateFromImage(image, true), Path(name));
    EXPECT_EQ(date(name), "none") << name << " as a plate";
    setenv("SOURCE_DATE_EPOCH", "1000000000", 1);
    lfhost::WriteImage(image, Path(name));
    EXPECT_EQ(date(name), "2001:09:09 01:46:40") << name;
    lfhost::WriteImage(image, Path(name), dated);
    EXPECT_EQ(date(name), "2019:03:04 05:06:07") << name;
    unsetenv("SOURCE_DATE_EPOCH");
  }
}

// A JPEG written from a JPEG, as a frame and as a plate, keeps the input's
// quantisation tables and chroma subsampling: the very tables where they are
// standard ones scaled, else those of the lowest quality nowhere coarser; a
// quality asked for wins.
TEST_F(ImageIoTest, JpegOutputKeepsTheInputsTablesAndSubsampling) {
  struct Case {
    int components, quality, h, v;
    std::optional<int> firstLuma, asked;
    int written;   // the quality whose tables the output has
  };
  const std::vector<Case> cases = {
      {3, 100, 1, 1, {}, {}, 100}, {3, 90, 2, 1, {}, {}, 90}, {3, 75, 2, 2, {}, {}, 75},
      {3, 50, 1, 1, {}, {}, 50},   {3, 12, 2, 2, {}, {}, 12}, {1, 60, 1, 1, {}, {}, 60},
      // Luma's first step 2 where quality 75 has 8: from quality 93 on it is 2 or less.
      {3, 75, 2, 2, 2, {}, 93},
      {3, 90, 1, 1, {}, 80, 80},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.components) + "x q" + std::to_string(c.quality) + " " +
                             std::to_string(c.h) + "x" + std::to_string(c.v);
    WriteJpeg(Path("in.jpg"), c.components, c.quality, c.h, c.v, c.firstLuma);
    WriteJpeg(Path("want.jpg"), 3, c.written, 1, 1);
    const JpegFacts in = ReadJpegFacts(Path("in.jpg")), want = ReadJpegFacts(Path("want.jpg"));
    lfhost::ImageTraits traits = lfhost::ReadImageTraits(Path("in.jpg"));
    if (c.asked) traits.jpegQuality = c.asked;
    lfhost::WriteImage(lfhost::ReadImage(Path("in.jpg")), Path("frame.jpeg"), traits);
    lfhost::PlateWriting how;
    how.jpegQuality = c.asked;
    lfhost::WritePlate(lfhost::ReadPlate(Path("in.jpg")), Path("plate.jpg"), how);
    for (const char* out : {"frame.jpeg", "plate.jpg"}) {
      const JpegFacts got = ReadJpegFacts(Path(out));
      EXPECT_EQ(got.luma, want.luma) << name << " -> " << out;
      EXPECT_EQ(got.chroma, want.chroma) << name << " -> " << out;
      if (!c.asked && !c.firstLuma) {
        EXPECT_EQ(got.luma, in.luma) << name << " -> " << out;
        if (c.components == 3) {
          EXPECT_EQ(got.chroma, in.chroma) << name << " -> " << out;
        }
      }
      for (size_t i = 0; i < 64 && !c.asked; ++i) {
        EXPECT_LE(got.luma[i], in.luma[i]) << name << " -> " << out << " " << i;
      }
      if (c.components == 3) {
        EXPECT_EQ(std::pair(got.h, got.v), std::pair(c.h, c.v)) << name << " -> " << out;
      }
    }
  }
  // Tables that cannot be read (not a JPEG, a header cut short) give no quality.
  EXPECT_EQ(lfhost::JpegQualityOf(Path("none.jpg")), std::nullopt);
  lfhost::WriteImage(ImageBuffer(8, 8), Path("o.png"));
  EXPECT_EQ(lfhost::JpegQualityOf(Path("o.png")), std::nullopt);
  std::vector<char> jpeg = lftest::FileBytes(Path("in.jpg"));
  std::ofstream(Path("cut.jpg"), std::ios::binary).write(jpeg.data(), 40);
  EXPECT_EQ(lfhost::JpegQualityOf(Path("cut.jpg")), std::nullopt);
}

}  // namespace
