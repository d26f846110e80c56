// Frames in and out of image files: exact 8-bit round trips and the conversion
// rules for other layouts. Read and write failures are in the command-line
// error table (render_cli_errors_test.cpp).
#include "host/media/image_io.h"

#include <gtest/gtest.h>
#include <OpenImageIO/imageio.h>


#include "host/media/plate_composite.h"
#include "tests/host/media_fixture.h"

namespace {

using lfhost::ImageBuffer;

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

}  // namespace
