// A --keys file, read as render reads it, then used as a render uses it; what
// it reads is written back as keys (the preview's download) and must read back
// the same.
#include <map>

#include "host/core/host_error.h"
#include "host/media/keys_file.h"
#include "host/track/track_keys.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// A key's interpolation, "linear" being the same as none given.
std::map<int64_t, lfhost::Interpolation> Eased(std::map<int64_t, lfhost::Interpolation> interpolation) {
  std::erase_if(interpolation, [](const auto& entry) { return entry.second == lfhost::Interpolation::Linear; });
  return interpolation;
}

// Keyframe values as written in a keys file: what ParseKeyframeJson must give
// back from KeysJson.
bool SameKeys(const lfhost::AnimatedControls& a, const lfhost::AnimatedControls& b) {
  auto same = [](const auto& x, const auto& y, auto equal) {
    if (x.constant.has_value() != y.constant.has_value() || x.keys.size() != y.keys.size()) return false;
    if (x.constant && !equal(*x.constant, *y.constant)) return false;
    for (auto i = x.keys.begin(), j = y.keys.begin(); i != x.keys.end(); ++i, ++j) {
      if (i->first != j->first || !equal(i->second, j->second)) return false;
    }
    return Eased(x.interpolation) == Eased(y.interpolation);
  };
  auto number = [](auto u, auto v) { return u == v; };
  auto point = [](const lfhost::CenterPoint& u, const lfhost::CenterPoint& v) {
    return u.x.value == v.x.value && u.x.percent == v.x.percent && u.y.value == v.y.value && u.y.percent == v.y.percent;
  };
  return same(a.center, b.center, point) && same(a.brightness, b.brightness, number) &&
         same(a.lensType, b.lensType, number) && same(a.blend, b.blend, number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const lfhost::ControlReader reader(lffuzz::Controls());
  lfhost::AnimatedControls controls;
  try {
    controls = lfhost::ParseKeyframeJson(lffuzz::Text(data, size), "shot.json", reader);
  } catch (const lfhost::HostError&) {
    return 0;
  }
  lffuzz::UseAsRenderDoes(controls, 1920, 1080);
  if (controls.centerTrack) return 0;   // not written back: read into keys first
  const std::string written = lftrack::KeysJson(controls);
  lfhost::AnimatedControls again;
  try {
    again = lfhost::ParseKeyframeJson(written, "keys.json", reader);
  } catch (const lfhost::HostError& e) {
    lffuzz::Broken(std::string("keys written back are refused: ") + e.what() + "\n" + written);
  }
  if (!SameKeys(controls, again)) lffuzz::Broken("keys written back read as other values:\n" + written);
  return 0;
}
