// The extension module lensflare._lensflare: numpy arrays in and out of
// Renderer, with the interpreter's lock released while pixels are worked on.
// The package's Python side (lensflare/__init__.py) checks arrays and
// arguments in the user's terms before they come here; what reaches this file
// is C-contiguous HxWx3 or HxWx4 arrays of one of the four sample types.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "host/core/host_error.h"
#include "host/core/pixel_aspect.h"
#include "host/python/flare_renderer.h"

namespace py = pybind11;

namespace lfpython {
namespace {

// The folder that holds the package: the module is found from it as the tool
// finds it from its bin folder (../plugins in the build tree, where the package
// is build/python/lensflare; LF_PYTHON_MODULE_FOLDER installed).
std::filesystem::path PackageDir() {
  Dl_info info{};
  dladdr(reinterpret_cast<const void*>(&PackageDir), &info);
  return std::filesystem::path(info.dli_fname ? info.dli_fname : ".").parent_path();
}

Sample SampleOf(const py::array& a) {
  const char kind = a.dtype().kind();
  const size_t size = static_cast<size_t>(a.itemsize());
  if (kind == 'u' && size == 1) return Sample::UInt8;
  if (kind == 'u' && size == 2) return Sample::UInt16;
  if (kind == 'f' && size == 2) return Sample::Half;
  if (kind == 'f' && size == 4) return Sample::Float;
  throw py::type_error("image: " + std::string(py::str(a.dtype())) + " samples are not uint8, uint16, float16 or float32");
}

Pixels PixelsOf(const py::array& in, py::array& out) {
  if (in.ndim() != 3 || !(in.flags() & py::array::c_style) || !(out.flags() & py::array::c_style) || !out.writeable()) {
    throw py::value_error("image and out must be C-contiguous HxWxC arrays, out writeable");
  }
  return {in.data(), out.mutable_data(), static_cast<int32_t>(in.shape(1)), static_cast<int32_t>(in.shape(0)),
          static_cast<int32_t>(in.shape(2)), SampleOf(in)};
}

// A control's Python value as the host's controls read values: numbers,
// text as typed, lists and tuples as lists; anything else shown as Python shows it.
lfhost::ControlInput ControlOf(const py::handle& value) {
  if (py::isinstance<py::bool_>(value)) return {lfhost::ControlInput::Kind::Other, 0, py::repr(value), {}};
  if (py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) {
    return lfhost::ControlInput::Number(value.cast<double>());
  }
  if (py::isinstance<py::str>(value)) return lfhost::ControlInput::Text(value.cast<std::string>());
  if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
    lfhost::ControlInput list{lfhost::ControlInput::Kind::List, 0, py::repr(value), {}};
    for (const py::handle& item : value) list.items.push_back(ControlOf(item));
    return list;
  }
  return {lfhost::ControlInput::Kind::Other, 0, py::repr(value), {}};
}

// The arguments of one render, as the package hands them over.
struct Request {
  py::array image, out;
  py::dict controls;
  uint32_t seed = 0;
  int64_t frame = 0;
  std::string par;
  std::map<std::string, std::string> deep;
};

RenderJob PrepareRequest(const Renderer& renderer, Request& r) {
  std::map<std::string, lfhost::ControlInput> controls;
  for (const auto& [key, value] : r.controls) controls[py::cast<std::string>(key)] = ControlOf(value);
  lfhost::FrameSettings frame;
  frame.seed = r.seed;
  frame.frame = r.frame;
  std::tie(frame.pixelAspectNum, frame.pixelAspectDen) = lfhost::ParsePixelAspect("par", r.par);
  return renderer.Prepare(PixelsOf(r.image, r.out), controls, frame, r.deep);
}

py::list ChoicesOf(const lfhost::DeclaredParam& p) {
  py::list choices;
  for (size_t i = 0; i < p.choices.size(); ++i) {
    choices.append(py::make_tuple(i + 1, lfhost::LensShortName(p.choices[i]), p.choices[i]));
  }
  return choices;
}

// The declared controls, by the key the render takes them with.
py::list ControlsOf(const Renderer& renderer) {
  const lfhost::EffectControls& c = renderer.controls();
  const auto entry = [](const char* key, const lfhost::DeclaredParam& p) {
    py::dict d;
    d["key"] = key;
    d["name"] = std::string(p.record.name);
    d["id"] = p.record.id;
    return d;
  };
  py::dict center = entry("center", c.center);
  const PointValue& point = c.center.record.value.point;
  center["default"] = py::make_tuple(lfhost::FromFix16(point.defaultX), lfhost::FromFix16(point.defaultY));
  center["unit"] = "percent of the frame (default); pixels or \"N%\" strings when given";
  py::dict brightness = entry("brightness", c.brightness);
  const FloatSliderValue& b = c.brightness.record.value.floatSlider;
  brightness["range"] = py::make_tuple(b.validMin, b.validMax);
  brightness["slider"] = py::make_tuple(b.sliderMin, b.sliderMax);
  brightness["default"] = b.defaultValue;
  brightness["unit"] = "percent";
  py::dict lens = entry("lens", c.lensType);
  lens["range"] = py::make_tuple(1, c.lensType.record.value.popup.numChoices);
  lens["default"] = c.lensType.record.value.popup.defaultChoice;
  lens["choices"] = ChoicesOf(c.lensType);
  py::dict blend = entry("blend", c.blend);
  const FixedSliderValue& f = c.blend.record.value.fixedSlider;
  blend["range"] = py::make_tuple(lfhost::FromFix16(f.validMin), lfhost::FromFix16(f.validMax));
  blend["slider"] = py::make_tuple(lfhost::FromFix16(f.sliderMin), lfhost::FromFix16(f.sliderMax));
  blend["default"] = lfhost::FromFix16(f.defaultValue);
  blend["unit"] = "percent";
  py::list all;
  for (py::dict* d : {&center, &brightness, &lens, &blend}) all.append(*d);
  return all;
}

}  // namespace
}  // namespace lfpython

PYBIND11_MODULE(_lensflare, m) {
  using lfpython::Renderer;
  m.doc() = "The flare renderer behind the lensflare package; use the package's functions.";
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const lfhost::HostError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
  py::class_<lfpython::Request>(m, "Request")
      .def(py::init<py::array, py::array, py::dict, uint32_t, int64_t, std::string, std::map<std::string, std::string>>())
      .def_readonly("out", &lfpython::Request::out);
  py::class_<Renderer>(m, "Renderer")
      .def(py::init([](const std::string& plugin, int threads) {
             const std::filesystem::path package = lfpython::PackageDir();
             return std::make_unique<Renderer>(plugin, package.parent_path().string(), LF_PYTHON_MODULE_FOLDER,
                                               (package / "_thread_rand.so").string(), threads);
           }),
           py::arg("plugin"), py::arg("threads"))
      .def_property_readonly("path", &Renderer::path)
      .def_property_readonly("name", &Renderer::displayName)
      .def("controls", &lfpython::ControlsOf)
      .def("forget_slots_after_fork", &Renderer::ForgetSlotsAfterFork)
      .def("render", [](Renderer& r, lfpython::Request& request) {
        const lfpython::RenderJob job = lfpython::PrepareRequest(r, request);
        const py::gil_scoped_release unlocked;
        r.Render(job);
      })
      .def("render_many", [](Renderer& r, std::vector<lfpython::Request*> requests, int threads) {
        std::vector<lfpython::RenderJob> jobs;
        for (lfpython::Request* request : requests) jobs.push_back(lfpython::PrepareRequest(r, *request));
        const py::gil_scoped_release unlocked;
        r.RenderMany(jobs, threads);
      });
}
