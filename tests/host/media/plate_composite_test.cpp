// Plates deeper than 8 bits: the composite against its formula for each sample
// type, mode and blend; the module's own blend matched; plates through files
// and through the tool with their parts, channels, windows and header fields.
#include "host/media/plate_composite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include "host/core/host_error.h"
#include "host/media/image_io.h"
#include "render/render_flare.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::CompositeMode;
using lfhost::ImageBuffer;
using OIIO::TypeDesc;

const void* SampleAt(const OIIO::ImageBuf& b, int x, int y, int c) {
  return static_cast<const char*>(b.pixeladdr(x, y)) + c * b.spec().format.size();
}

// The largest integer sample; 1 for floating point.
double Largest(TypeDesc type) { return type == TypeDesc::UINT8 ? 255 : type == TypeDesc::UINT16 ? 65535 : 1; }

// A sample as stored: integers in their own units, floats as they are.
double Stored(const OIIO::ImageBuf& b, int x, int y, int c) {
  const double v = b.getchannel(x, y, 0, c);
  return b.spec().format.is_floating_point() ? v : std::round(v * Largest(b.spec().format));
}

// One unit of `type` at value v: 1 for integers, the spacing of halfs or floats there.
double Unit(TypeDesc type, double v) {
  if (type == TypeDesc::HALF) return std::max(std::fabs(v) * 0x1p-10, 0x1p-24);
  if (type == TypeDesc::FLOAT) return std::max(std::fabs(v) * 0x1p-23, 0x1p-149);
  return 1;
}

// A layer with black pixels among coloured ones, some with a channel at 0.
ImageBuffer TestLayer(int32_t w, int32_t h) {
  ImageBuffer layer(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      layer.at(x, y, 0) = 255;
      for (int c = 1; c < 4; ++c) layer.at(x, y, c) = (x + y) % 3 == 0 ? 0 : static_cast<uint8_t>((x * 41 + y * 23 + c * 67) % 256);
    }
  }
  return layer;
}

TEST(PlateCompositeTest, EachSampleTypeGetsItsFormulaAndKeepsTheRestBitForBit) {
  // Display window 12x6; the data window starts two columns left of it and
  // ends a row below it. R, G, B, alpha and a Z channel.
  OIIO::ImageSpec layout(16, 6, 5, TypeDesc::FLOAT);
  layout.x = -2, layout.y = 1, layout.full_width = 12, layout.full_height = 6;
  layout.channelnames = {"R", "G", "B", "A", "Z"};
  layout.alpha_channel = 3, layout.z_channel = 4;
  const ImageBuffer layer = TestLayer(12, 6);
  lfhost::FlareLayer flare;
  flare.exact = layer.Clone();
  std::vector<float> values;
  for (int i = 0; i < 16 * 6 * 5; ++i) values.push_back(static_cast<float>((i * 37) % 101) / 40.0f);
  // Beyond 1.0, a negative zero and a NaN where the layer is black, (0, 3) and (3, 3).
  values[((3 - 1) * 16 + 2) * 5] = -0.0f;
  values[((3 - 1) * 16 + 5) * 5 + 1] = std::nanf("7");
  for (TypeDesc type : {TypeDesc::UINT8, TypeDesc::UINT16, TypeDesc::HALF, TypeDesc::FLOAT}) {
    for (CompositeMode mode : {CompositeMode::Screen, CompositeMode::Add}) {
      for (Fix16 blend : {0, 40 << 16, 100 << 16}) {
        SCOPED_TRACE(std::string(type.c_str()) + (mode == CompositeMode::Add ? " add " : " screen ") + std::to_string(blend >> 16));
        layout.set_format(type);
        OIIO::ImageBuf plate(layout);
        plate.set_pixels(plate.roi(), TypeDesc::FLOAT, values.data());
        const OIIO::ImageBuf before = plate;
        const lfhost::PlateLook look = lfhost::PlateLook::For(type, mode, "");
        lfhost::CompositeFlare(plate, flare, lfhost::BlendWeight(blend), look);

        // The module's blend without a low-brightness fade keeps this much of the flare.
        const double keep = (65536 - BlendRatio(blend, 0.0f)) / 65536.0;
        auto toPlate = OIIO::ColorConfig().createColorProcessor("sRGB", look.colourSpace());
        const double max = Largest(type);
        int flared = 0;
        for (int y = layout.y; y < layout.y + layout.height; ++y) {
          for (int x = layout.x; x < layout.x + layout.width; ++x) {
            const bool inside = x >= 0 && x < 12 && y < 6;
            float f[3] = {0, 0, 0};
            for (int c = 0; c < 3 && inside; ++c) f[c] = layer.at(x, y, 1 + c) / 255.0f;
            const bool lit = f[0] + f[1] + f[2] > 0;
            if (lit && !toPlate->isNoOp()) toPlate->apply(f);
            for (int c = 0; c < 5; ++c) {
              if (c > 2 || !lit) {
                EXPECT_EQ(std::memcmp(SampleAt(plate, x, y, c), SampleAt(before, x, y, c), type.size()), 0) << x << "," << y << "," << c;
                continue;
              }
              const double p = Stored(before, x, y, c), a = f[c] * keep;
              const double want = mode == CompositeMode::Screen ? p + (max - p) * a : std::min(p + max * a, type.is_floating_point() ? HUGE_VAL : max);
              EXPECT_NEAR(Stored(plate, x, y, c), want, Unit(type, want)) << x << "," << y << "," << c;
              flared += a > 0;
            }
          }
        }
        EXPECT_EQ(flared > 0, blend != 100 << 16);
      }
    }
  }
}

// On a black 8-bit frame the module's render is its flare layer blended back
// towards black by its own ratio; the host's composite of that layer onto the
// same frame as an 8-bit plate, at the host's weight, gives the same bytes,
// but where the layer's share is exactly half-way between two levels: the
// module's integer blend rounds that up, the composite's float share can land
// either side, so there the two may be one level apart.
TEST(PlateCompositeTest, EightBitCompositeEqualsTheModulesOwnBlend) {
  auto effect = lftest::StartedEffect();
  const ImageBuffer black = lftest::OpaqueFrame(96, 64, 0, 0, 0);
  lfhost::ParamValues values = effect->DefaultValues(96, 64);
  ImageBuffer layer(96, 64);
  values.blend = 0;
  ASSERT_TRUE(effect->Render(black, layer, effect->Check(values)).ok());
  const lfhost::PlateLook look = lfhost::PlateLook::For(TypeDesc::UINT8, std::nullopt, "");
  for (Fix16 blend : {0, 25 << 16, 40 << 16, 100 << 16}) {
    values.blend = blend;
    const int64_t keep = 65536 - lfhost::BlendWeight(blend);
    ImageBuffer rendered(96, 64);
    ASSERT_TRUE(effect->Render(black, rendered, effect->Check(values)).ok());
    lfhost::Plate plate = lfhost::PlateFromImage(black, false);
    ASSERT_TRUE(lfhost::RenderOntoPlate(*effect, plate.image(), effect->Check(values), {}, look).ok());
    int lit = 0, halfWay = 0;
    for (int y = 0; y < 64; ++y) {
      const auto* deep = static_cast<const uint8_t*>(plate.image().pixeladdr(0, y));
      for (int x = 0; x < 96; ++x) {
        for (int c = 0; c < 3; ++c) {
          const int module = rendered.at(x, y, 1 + c), host = deep[3 * x + c];
          lit += module != 0;
          if ((layer.at(x, y, 1 + c) * keep) % 65536 == 32768) {
            ++halfWay;
            EXPECT_LE(std::abs(host - module), 1) << x << "," << y << "," << c << " blend " << (blend >> 16);
          } else {
            EXPECT_EQ(host, module) << x << "," << y << "," << c << " blend " << (blend >> 16);
          }
        }
      }
    }
    EXPECT_EQ(lit > 0, blend != 100 << 16) << "blend " << (blend >> 16);
    EXPECT_EQ(halfWay > 0, blend == 25 << 16) << "blend " << (blend >> 16);
  }
}

// Rendered onto a plate at 16 bits, the flare equals the module's own render
// onto the same plate at 8 bits, its blend and low-brightness fade included, to
// within the 8-bit render's own rounding: it rounds after every element it
// screens on, where the plate gets the layer in one screen (3 levels at most
// where a few elements overlap). The full-precision layer, drawn without the
// 8-bit steps, stays as close.
TEST(PlateCompositeTest, MatchesTheModulesOwnRenderOntoTheSamePlate) {
  auto effect = lftest::StartedEffect();
  const ImageBuffer frame = lftest::OpaqueFrame(96, 64, 60, 90, 120);
  lfhost::ParamValues values = effect->DefaultValues(96, 64);
  for (const auto precision : {lfhost::FlarePrecision::Exact, lfhost::FlarePrecision::Full}) {
  for (double brightness : {100.0, 5.0}) {
    for (Fix16 blend : {0, 40 << 16, 100 << 16}) {
      values.brightness = brightness;
      values.blend = blend;
      ImageBuffer rendered(96, 64);
      ASSERT_TRUE(effect->Render(frame, rendered, effect->Check(values)).ok());
      OIIO::ImageBuf plate;
      ASSERT_TRUE(plate.copy(lfhost::PlateFromImage(frame, false).image(), TypeDesc::UINT16));
      const lfhost::PlateLook look = lfhost::PlateLook::For(TypeDesc::UINT16, std::nullopt, "");
      ASSERT_TRUE(lfhost::RenderOntoPlate(*effect, plate, effect->Check(values), {}, look, precision).ok());
      int worst = 0;
      for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 96; ++x) {
          for (int c = 0; c < 3; ++c) {
            const int deep = static_cast<int>(std::lround(plate.getchannel(x, y, 0, c) * 255));
            worst = std::max(worst, std::abs(deep - rendered.at(x, y, 1 + c)));
          }
        }
      }
      EXPECT_LE(worst, 3) << "brightness " << brightness << ", blend " << (blend >> 16) << ", precision "
                          << static_cast<int>(precision);
    }
  }
  }
  EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
}

class PlateFilesTest : public lftest::MediaTest {
 protected:
  // Writes `parts` to `path` with the image library itself, samples a ramp.
  void WriteParts(const std::string& path, std::vector<OIIO::ImageSpec> parts) {
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, static_cast<int>(parts.size()), parts.data())) << OIIO::geterror();
    for (size_t i = 0; i < parts.size(); ++i) {
      std::vector<float> ramp(parts[i].image_pixels() * parts[i].nchannels);
      for (size_t s = 0; s < ramp.size(); ++s) ramp[s] = static_cast<float>(s % 97) / 37.0f + static_cast<float>(i);
      if (i > 0) {
        ASSERT_TRUE(out->open(path, parts[i], OIIO::ImageOutput::AppendSubimage));
      }
      ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, ramp.data())) << out->geterror();
    }
    ASSERT_TRUE(out->close());
  }
  static OIIO::ImageSpec Part(TypeDesc type, std::vector<std::string> channels, const std::string& name = "") {
    OIIO::ImageSpec layout(10, 6, static_cast<int>(channels.size()), type);
    layout.channelnames = channels;
    layout.alpha_channel = layout.channelindex("A");
    layout.attribute("Owner", "plate test");
    if (!name.empty()) layout.attribute("oiio:subimagename", name);
    return layout;
  }
};

TEST_F(PlateFilesTest, PlatesKeepPartsChannelsWindowsAndFieldsThroughAFile) {
  OIIO::ImageSpec beauty = Part(TypeDesc::HALF, {"R", "G", "B", "A", "Z"}, "left");
  beauty.channelformats = {TypeDesc::HALF, TypeDesc::HALF, TypeDesc::HALF, TypeDesc::HALF, TypeDesc::FLOAT};
  beauty.x = 2, beauty.y = -1, beauty.full_width = 12, beauty.full_height = 8;
  beauty.attribute("compression", "piz");
  OIIO::ImageSpec right = Part(TypeDesc::HALF, {"R", "G", "B"}, "right");
  right.full_width = 12, right.full_height = 8;
  WriteParts(Path("a.exr"), {beauty, right});
  WriteParts(Path("b.tif"), {Part(TypeDesc::FLOAT, {"R", "G", "B"})});
  WriteParts(Path("c.png"), {Part(TypeDesc::UINT16, {"Y", "A"})});
  OIIO::ImageSpec scan = Part(TypeDesc::UINT16, {"R", "G", "B"});
  scan.attribute("oiio:BitsPerSample", 10);
  WriteParts(Path("d.dpx"), {scan});
  struct Case { std::string name, part; size_t parts, flared; std::vector<std::string> channels; };
  for (const Case& c : std::vector<Case>{{"a.exr", "", 2, 0, {"R", "G", "B", "A", "Z"}},
                                         {"a.exr", "right", 2, 1, {"R", "G", "B"}},
                                         {"b.tif", "", 1, 0, {"R", "G", "B"}},
                                         {"c.png", "", 1, 0, {"R", "G", "B", "A"}},
                                         {"d.dpx", "", 1, 0, {"R", "G", "B"}}}) {
    SCOPED_TRACE(c.name + " " + c.part);
    const lfhost::Plate read = lfhost::ReadPlate(Path(c.name), c.part);
    const std::string copy = Path("copy" + c.name.substr(1));
    lfhost::WritePlate(read, copy);
    const lfhost::Plate back = lfhost::ReadPlate(copy, c.part);
    ASSERT_EQ(back.parts.size(), c.parts);
    EXPECT_EQ(back.flared, c.flared);
    EXPECT_EQ(back.image().spec().channelnames, c.channels);
    for (size_t i = 0; i < c.parts; ++i) {
      const OIIO::ImageSpec &was = read.headers[i], &is = back.headers[i];
      EXPECT_EQ(OIIO::ROI(is.roi()), OIIO::ROI(was.roi()));
      EXPECT_EQ(OIIO::ROI(is.roi_full()), OIIO::ROI(was.roi_full()));
      EXPECT_EQ(is.format, was.format);
      EXPECT_EQ(is.channelformats, was.channelformats);
      for (const char* field : {"Owner", "compression", "oiio:BitsPerSample", "oiio:subimagename"}) {
        EXPECT_EQ(is.get_string_attribute(field), was.get_string_attribute(field)) << field;
      }
      const OIIO::ImageSpec& held = back.parts[i].spec();
      EXPECT_EQ(std::memcmp(back.parts[i].localpixels(), read.parts[i].localpixels(), held.image_bytes()), 0);
    }
  }
  // --depth sets the flared part's colour and alpha, here to Z's floats.
  lfhost::WritePlate(lfhost::ReadPlate(Path("a.exr")), Path("deeper.exr"), {TypeDesc::FLOAT, std::nullopt, ""});
  const OIIO::ImageSpec deeper = lfhost::ReadImageHeader(Path("deeper.exr"));
  EXPECT_EQ(deeper.format, TypeDesc::FLOAT);
  EXPECT_TRUE(deeper.channelformats.empty());
  lfhost::WritePlate(lfhost::ReadPlate(Path("a.exr")), Path("eight.png"), {TypeDesc::UINT8, std::nullopt, ""});
  const OIIO::ImageSpec png = lfhost::ReadImageHeader(Path("eight.png"));
  EXPECT_EQ(png.format, TypeDesc::UINT8);
  EXPECT_EQ(png.nchannels, 4);
}

double SrgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }
double LinearToSrgb(double v) { return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }
double Rec709ToLinear(double v) { return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45); }
double Same(double v) { return v; }

// Colour that changes kind on its way out: integer (display-referred) samples
// written as floating point are made scene-linear from the plate's colour space,
// floating-point ones written as integers are made sRGB; the file says which.
// Alpha stays. Each output holds what its input gives through the curve, within
// the output's own precision (a half's 1/1000 near 1, a 16-bit level).
TEST_F(PlateFilesTest, ColourChangingKindIsConvertedAndTagged) {
  const struct {
    std::string in;
    TypeDesc inType;
    std::string space;  // the plate's colour space as given; empty for the default
    std::string out;
    TypeDesc depth;
    std::string tag;    // oiio:ColorSpace read back; empty where the format keeps none
    double (*curve)(double);
    double tolerance;
  } kCases[] = {
      {"a.png", TypeDesc::UINT16, "", "a.exr", TypeDesc::HALF, "linear", SrgbToLinear, 1e-3},
      {"b.png", TypeDesc::UINT8, "", "b.exr", TypeDesc::FLOAT, "linear", SrgbToLinear, 1e-5},
      {"c.tif", TypeDesc::UINT16, "Rec709", "c.tif", TypeDesc::FLOAT, "", Rec709ToLinear, 1e-4},
      {"d.png", TypeDesc::UINT16, "linear", "d.exr", TypeDesc::HALF, "linear", Same, 1e-3},
      {"e.exr", TypeDesc::HALF, "", "e.png", TypeDesc::UINT16, "sRGB", LinearToSrgb, 1.0 / 65535},
      {"f.exr", TypeDesc::FLOAT, "", "f.tif", TypeDesc::UINT16, "", LinearToSrgb, 1.0 / 65535},
      {"g.exr", TypeDesc::HALF, "", "g.exr", TypeDesc::FLOAT, "", Same, 1e-6},
  };
  const float kPixel[4] = {0.9608f, 0.5f, 0.02f, 1.0f};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.in + " to " + c.out);
    OIIO::ImageSpec layout(4, 2, 4, c.inType);
    layout.alpha_channel = 3;
    std::vector<float> pixels;
    for (int i = 0; i < 8; ++i) pixels.insert(pixels.end(), kPixel, kPixel + 4);
    auto file = OIIO::ImageOutput::create(Path(c.in));
    ASSERT_TRUE(file && file->open(Path(c.in), layout) && file->write_image(TypeDesc::FLOAT, pixels.data()) && file->close());
    const lfhost::Plate in = lfhost::ReadPlate(Path(c.in));
    lfhost::WritePlate(in, Path(c.out), {c.depth, std::nullopt, c.space});
    const lfhost::Plate out = lfhost::ReadPlate(Path(c.out));
    const OIIO::ImageSpec& header = out.headers[0];
    EXPECT_EQ(header.format, c.depth);
    if (!c.tag.empty()) {
      EXPECT_TRUE(OIIO::Strutil::iequals(header.get_string_attribute("oiio:ColorSpace"), c.tag))
          << header.get_string_attribute("oiio:ColorSpace");
    }
    if (c.out.ends_with(".exr") && !c.tag.empty()) {
      const OIIO::ParamValue* chromaticities = header.find_attribute("chromaticities");
      ASSERT_NE(chromaticities, nullptr);
      EXPECT_FLOAT_EQ(static_cast<const float*>(chromaticities->data())[6], 0.3127f);  // D65 white
    }
    for (int ch = 0; ch < 4; ++ch) {
      const double was = in.image().getchannel(1, 1, 0, ch);
      EXPECT_NEAR(out.image().getchannel(1, 1, 0, ch), ch == 3 ? was : c.curve(was), c.tolerance) << "channel " << ch;
    }
  }
  // There and back: a 16-bit sRGB plate through half-float linear comes back
  // within a half's precision.
  lfhost::WritePlate(lfhost::ReadPlate(Path("a.exr")), Path("a2.png"), {TypeDesc::UINT16, std::nullopt, ""});
  const lfhost::Plate first = lfhost::ReadPlate(Path("a.png")), back = lfhost::ReadPlate(Path("a2.png"));
  for (int ch = 0; ch < 4; ++ch) {
    EXPECT_NEAR(back.image().getchannel(2, 0, 0, ch), first.image().getchannel(2, 0, 0, ch), 1e-3) << ch;
  }
  // A colour space the configuration does not have is refused, naming the file.
  EXPECT_THROW(
      {
        try {
          lfhost::WritePlate(lfhost::ReadPlate(Path("a.png")), Path("x.exr"), {TypeDesc::HALF, std::nullopt, "Nowhere"});
        } catch (const lfhost::HostError& e) {
          EXPECT_NE(std::string(e.what()).find("x.exr: cannot convert the colour from Nowhere"), std::string::npos)
              << e.what();
          throw;
        }
      },
      lfhost::HostError);
  EXPECT_FALSE(std::filesystem::exists(Path("x.exr")));
}

// Through the tool: the plate and the flare alone in one run; the flare added
// onto the plate gives the render, the other part and Z stay as they were.
TEST_F(PlateFilesTest, TheToolWritesThePlateAndTheFlareAloneAtTheirDepth) {
  OIIO::ImageSpec beauty = Part(TypeDesc::HALF, {"R", "G", "B", "A", "Z"}, "left");
  beauty.width = beauty.full_width = 64, beauty.height = beauty.full_height = 48;
  OIIO::ImageSpec right = beauty;
  right.attribute("oiio:subimagename", "right");
  WriteParts(Path("plate.exr"), {beauty, right});
  const lftest::CliRun run = lftest::RunCli({"render", Path("plate.exr"), "-o", Path("out.exr"), "--pass", "both", "--pass-output",
                                             Path("flare.exr"), "--part", "right", "--blend", "25", "-q"},
                                            dir_ / "cli");
  ASSERT_EQ(run.status, 0) << run.err;
  const lfhost::Plate plate = lfhost::ReadPlate(Path("plate.exr")), out = lfhost::ReadPlate(Path("out.exr"));
  const lfhost::Plate flare = lfhost::ReadPlate(Path("flare.exr"));
  ASSERT_EQ(out.parts.size(), 2u);
  EXPECT_EQ(flare.image().spec().format, TypeDesc::HALF);
  EXPECT_EQ(std::memcmp(out.parts[0].localpixels(), plate.parts[0].localpixels(), plate.parts[0].spec().image_bytes()), 0);
  int lit = 0;
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      for (int c = 0; c < 5; ++c) {
        const double p = plate.parts[1].getchannel(x, y, 0, c), f = c < 3 ? flare.image().getchannel(x, y, 0, c) : 0;
        EXPECT_NEAR(out.parts[1].getchannel(x, y, 0, c), p + f, 2 * Unit(TypeDesc::HALF, p + f)) << x << "," << y << "," << c;
        lit += f > 0;
      }
    }
  }
  EXPECT_GT(lit, 100);
}

// Exposure scales the flare of a floating-point plate by 2^stops in linear
// light: the flare alone of each frame is exactly 2^stops times the one
// rendered without it, the stops keyed on the command line or in a keys file;
// at 0 every file is byte for byte the one written without it.
TEST_F(PlateFilesTest, ExposureScalesAFloatPlatesFlareByPowersOfTwoFrameByFrame) {
  OIIO::ImageSpec header = Part(TypeDesc::HALF, {"R", "G", "B"});
  header.width = header.full_width = 64, header.height = header.full_height = 48;
  for (int n = 1; n <= 3; ++n) WriteParts(Path("p." + std::to_string(n) + ".exr"), {header});
  std::ofstream(Path("keys.json")) << R"({"exposure": {"1": -1, "2": {"value": 1, "ease": "hold"}}})";
  const auto flareAlone = [&](const std::string& name, std::vector<std::string> exposure) {
    std::vector<std::string> args = {"render", Path("p.#.exr"), "-o", Path(name + ".#.exr"), "--pass", "flare",
                                     "--depth", "float", "-q"};
    args.insert(args.end(), exposure.begin(), exposure.end());
    const lftest::CliRun run = lftest::RunCli(args, dir_ / "cli");
    EXPECT_EQ(run.status, 0) << run.err;
  };
  flareAlone("none", {});
  const struct {
    std::vector<std::string> exposure;
    double factors[3];   // frames 1 to 3
  } kCases[] = {{{"--exposure", "0"}, {1, 1, 1}},
                {{"--exposure", "1=0", "--exposure", "3=2"}, {1, 2, 4}},
                {{"--keys", Path("keys.json")}, {0.5, 2, 2}}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.exposure.back());
    flareAlone("exposed", c.exposure);
    for (int n = 1; n <= 3; ++n) {
      const std::string frame = "." + std::to_string(n) + ".exr";
      if (c.factors[n - 1] == 1) {
        EXPECT_EQ(lftest::FileBytes(Path("exposed" + frame)), lftest::FileBytes(Path("none" + frame)));
      }
      const lfhost::Plate plain = lfhost::ReadPlate(Path("none" + frame)), exposed = lfhost::ReadPlate(Path("exposed" + frame));
      int lit = 0;
      for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x) {
          for (int ch = 0; ch < 3; ++ch) {
            const float f = plain.image().getchannel(x, y, 0, ch);
            ASSERT_EQ(exposed.image().getchannel(x, y, 0, ch), static_cast<float>(f * c.factors[n - 1]))
                << "frame " << n << " at " << x << "," << y;
            lit += f > 0;
          }
        }
      }
      EXPECT_GT(lit, 100) << "frame " << n;
    }
  }
  // Exposure 0 on an 8-bit render is accepted and changes nothing.
  for (const char* name : {"plain.png", "zero.png"}) {
    std::vector<std::string> args = {"render", "-o", Path(name), "--size", "64x36", "-q"};
    if (std::string(name) == "zero.png") args.insert(args.end(), {"--exposure", "0"});
    ASSERT_EQ(lftest::RunCli(args, dir_ / "cli").status, 0) << name;
  }
  EXPECT_EQ(lftest::FileBytes(Path("zero.png")), lftest::FileBytes(Path("plain.png")));
}

// The flare alone at float depth: drawn at full precision by default it keeps
// thousands of levels a channel; the plug-in's exact render, asked for, has at
// most 256, each the scene-linear value of an 8-bit level, as the frame's own
// pixels become scene-linear at that depth.
TEST_F(PlateFilesTest, TheFlareAloneAtFloatIsFullPrecisionUnlessExactIsAsked) {
  // The 256 levels made scene-linear (R, G, B alike); the colour processor's
  // arithmetic differs by a few millionths between its paths.
  std::vector<float> linearLevels(3 * 256);
  for (int k = 0; k < 3 * 256; ++k) linearLevels[k] = static_cast<float>(k / 3) / 255.0f;
  const OIIO::ColorProcessorHandle toLinear =
      lfhost::ColourConfig().createColorProcessor("sRGB", lfhost::SceneLinearSpace());
  ASSERT_TRUE(toLinear);
  toLinear->apply(linearLevels.data(), 256, 1, 3, sizeof(float), 3 * sizeof(float), 3 * 256 * sizeof(float));
  auto offLevels = [&](const std::set<float>& values) {
    return std::count_if(values.begin(), values.end(), [&](float v) {
      return std::none_of(linearLevels.begin(), linearLevels.end(), [&](float l) { return std::fabs(v - l) < 2e-5f; });
    });
  };
  const struct {
    std::vector<std::string> precision;
    size_t fewest, most;
  } kCases[] = {{{}, 2000, SIZE_MAX}, {{"--flare-precision", "full"}, 2000, SIZE_MAX}, {{"--flare-precision", "exact"}, 2, 256}};
  for (const auto& c : kCases) {
    std::vector<std::string> args = {"render", "-o", Path("flare.exr"), "--size", "640x360", "--pass", "flare",
                                     "--depth", "float", "--brightness", "150", "-q"};
    args.insert(args.end(), c.precision.begin(), c.precision.end());
    const lftest::CliRun run = lftest::RunCli(args, dir_ / "cli");
    ASSERT_EQ(run.status, 0) << run.err;
    const lfhost::Plate flare = lfhost::ReadPlate(Path("flare.exr"));
    ASSERT_EQ(flare.image().spec().format, TypeDesc::FLOAT);
    std::set<float> reds;
    for (int y = 0; y < 360; ++y) {
      for (int x = 0; x < 640; ++x) reds.insert(flare.image().getchannel(x, y, 0, 0));
    }
    EXPECT_GE(reds.size(), c.fewest) << (c.precision.empty() ? "default" : c.precision[1]);
    EXPECT_LE(reds.size(), c.most) << (c.precision.empty() ? "default" : c.precision[1]);
    if (c.most == 256) {
      EXPECT_EQ(offLevels(reds), 0);
    }
  }
}

}  // namespace
