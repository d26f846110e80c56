#include "host/track/visibility.h"

#include <algorithm>
#include <cmath>

namespace lftrack {
namespace {

constexpr int32_t kPatchRadius = 32;
constexpr double kMinContrast = 16;   // of 255: less is no light at all

int32_t Whole(double v) { return static_cast<int32_t>(std::lround(std::clamp(v, -1e6, 1e6))); }

// Calls visit(x, y, d2) for the pixels of `p` within `radius` of `c`.
template <class Visit>
void ForDisc(const Patch& p, Point c, double radius, Visit visit) {
  const auto r = static_cast<int32_t>(std::ceil(radius));
  for (int32_t y = Whole(c.y) - r; y <= Whole(c.y) + r; ++y) {
    for (int32_t x = Whole(c.x) - r; x <= Whole(c.x) + r; ++x) {
      const double d2 = (x - c.x) * (x - c.x) + (y - c.y) * (y - c.y);
      if (d2 <= radius * radius) visit(x, y, p.Contains(x, y));
    }
  }
}

}  // namespace

void OcclusionMeter::Keep(size_t index, const LumaFrame& frame, Point near, int32_t slack) {
  patches_.at(index) = frame.Around(Whole(near.x), Whole(near.y), kPatchRadius + slack);
}

std::optional<std::vector<double>> OcclusionMeter::Factors(const std::vector<Point>& centres) const {
  const size_t n = patches_.size();
  // The same pixels whatever point a patch was kept around.
  std::vector<Patch> patches;
  for (size_t i = 0; i < n; ++i) patches.push_back(patches_[i].Crop(Whole(centres[i].x), Whole(centres[i].y), kPatchRadius));
  std::vector<double> background(n), contrast(n);
  for (size_t i = 0; i < n; ++i) {
    background[i] = patches[i].Median();
    double peak = 0;
    ForDisc(patches[i], centres[i], 2, [&](int32_t x, int32_t y, bool in) {
      if (in) peak = std::max(peak, patches[i].Mean3x3(x, y));
    });
    contrast[i] = std::max(0.0, peak - background[i]);
  }
  const double highest = n ? *std::max_element(contrast.begin(), contrast.end()) : 0;
  if (highest < kMinContrast) return std::nullopt;
  const size_t ref = static_cast<size_t>(
      std::find_if(contrast.begin(), contrast.end(), [&](double c) { return c >= 0.5 * highest; }) - contrast.begin());

  double blob = 0;
  ForDisc(patches[ref], centres[ref], kPatchRadius / 2, [&](int32_t x, int32_t y, bool in) {
    if (in && patches[ref].At(x, y) - background[ref] >= 0.5 * contrast[ref]) ++blob;
  });
  const double radius = std::clamp(std::sqrt(blob / M_PI), 1.5, kPatchRadius / 2.0);
  const double level = 0.25 * contrast[ref];
  auto share = [&](size_t i) {
    double lit = 0, all = 0;
    ForDisc(patches[i], centres[i], radius, [&](int32_t x, int32_t y, bool in) {
      ++all;
      if (in && patches[i].At(x, y) - background[i] >= level) ++lit;
    });
    return lit / all;
  };
  const double refShare = share(ref);
  if (refShare == 0) return std::nullopt;   // the light's peak lies outside its own disc
  std::vector<double> raw(n);
  for (size_t i = 0; i < n; ++i) raw[i] = std::min(1.0, share(i) / refShare);

  // A frame takes its own share: the flare is gone on every frame the light
  // is, and whole on every frame it shows whole, next to a cover too. Only a
  // change lasting one frame is doubted, as grain or a slip of the centre
  // could make it: the frame goes halfway to the median of it and its
  // neighbours.
  std::vector<double> factors(raw);
  for (size_t i = 1; i + 1 < n; ++i) {
    const double median = std::max(std::min(raw[i - 1], raw[i]), std::min(std::max(raw[i - 1], raw[i]), raw[i + 1]));
    factors[i] = (raw[i] + median) / 2;
  }
  return factors;
}

double EdgeFade(Point centre, int32_t width, int32_t height, double pixels) {
  const double dx = std::max({0.0, -centre.x, centre.x - width});
  const double dy = std::max({0.0, -centre.y, centre.y - height});
  return std::clamp(1.0 - std::hypot(dx, dy) / pixels, 0.0, 1.0);
}

}  // namespace lftrack
