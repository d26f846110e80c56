"""Lens Flare for Python: the plug-in's flare on numpy arrays.

``render`` draws a flare over an HxWx3 (RGB) or HxWx4 (RGBA) array and returns a
new array of the same shape and dtype, with exactly the pixels ``lensflare
render`` writes for the same image file and options:

* uint8 arrays are rendered by the plug-in itself, as an 8-bit PNG is;
* uint16, float16 and float32 arrays are plates: the flare is rendered over
  black and composited at their own precision, screened onto integer samples
  and added onto floating-point (scene-linear) ones, as 16-bit PNG or TIFF and
  half or float OpenEXR files are.

Controls take the command line's words: ``center=(1210, 340)``,
``center="40%,25%"`` or ``center=("40%", 300)``; ``lens=3``, ``lens="105mm"``;
``brightness=150`` or ``"150%"``; ``blend=25``. A control left out takes the
plug-in's default. Bad input raises TypeError or ValueError with the tool's
message.

The plug-in is the one the tool loads, found the same way: in the folders of
``LENSFLARE_PLUGIN_PATH``, then beside the package (``Effect(plugin=PATH)``
names one). Renders release the GIL; threads rendering at once each get
exactly the pixels they get alone, rays included.
"""

from fractions import Fraction
import functools
import os
import threading
import weakref

import numpy as np

from . import _lensflare

__all__ = ["Effect", "render", "render_many", "controls", "MAX_SIDE"]

#: Widest and tallest image the plug-in takes.
MAX_SIDE = 32767

_SAMPLES = (np.uint8, np.uint16, np.float16, np.float32)
_CONTROLS = ("center", "brightness", "lens", "blend")


def _pixels(image, name="image"):
    """``image`` as a C-contiguous HxWx3 or HxWx4 array of a supported dtype."""
    if not isinstance(image, np.ndarray):
        raise TypeError(f"{name}: expected a numpy array, not {type(image).__name__}")
    if image.dtype.type not in _SAMPLES:
        raise TypeError(f"{name}: {image.dtype} samples are not uint8, uint16, float16 or float32")
    if image.ndim != 3 or image.shape[2] not in (3, 4):
        raise ValueError(f"{name}: shape {image.shape} is not HxWx3 (RGB) or HxWx4 (RGBA)")
    height, width = image.shape[:2]
    if width == 0 or height == 0:
        raise ValueError(f"{name}: a {width}x{height} image has no pixels")
    if width > MAX_SIDE or height > MAX_SIDE:
        raise ValueError(f"{name}: frame of {width}x{height} pixels is too large: "
                         f"the plug-in takes at most {MAX_SIDE} pixels in either dimension")
    if not image.dtype.isnative:   # samples stored the other way round
        image = image.astype(image.dtype.newbyteorder("="))
    return np.ascontiguousarray(image)


def _output(image, out):
    if out is None:
        return np.empty_like(image, order="C")
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out: expected a numpy array, not {type(out).__name__}")
    if out.dtype != image.dtype or out.shape != image.shape:
        raise ValueError(f"out: {out.dtype} {out.shape} does not match the image's {image.dtype} {image.shape}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("out: must be a writeable C-contiguous array")
    return out


@functools.lru_cache(maxsize=64, typed=True)   # the exact fraction is the slowest check of a render call
def _par(par):
    """The pixel aspect ratio as "N:D": a number by its shortest decimal (0.9 is 9:10)."""
    if isinstance(par, str):
        return par
    if isinstance(par, bool) or not isinstance(par, (int, float)):
        raise TypeError(f"par: expected a number or \"N:D\", not {type(par).__name__}")
    if not np.isfinite(par) or par <= 0:
        raise ValueError(f"par: {par} is not a positive number")
    ratio = Fraction(repr(float(par))) if isinstance(par, float) else Fraction(par)
    return f"{ratio.numerator}:{ratio.denominator}"


def _whole(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name}: expected a whole number, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name}: {value} is outside {low} to {high}")
    return int(value)


def _request(image, center=None, brightness=None, lens=None, blend=None, seed=0, frame=0, par=1.0,
             out=None, **deep):
    """One render's arguments checked and packed for the extension."""
    image = _pixels(image)
    given = {"center": center, "brightness": brightness, "lens": lens, "blend": blend}
    chosen = {key: value for key, value in given.items() if value is not None}
    seed = _whole("seed", seed, 0, 2**32 - 1)
    frame = _whole("frame", frame, -2**63, 2**63 - 1)
    # Deep options travel as the tool's option text; the extension reads them
    # all in one place (ReadDeepOptions).
    deep = {name: str(value) for name, value in deep.items() if value is not None}
    return _lensflare.Request(image, _output(image, out), chosen, seed, frame, _par(par), deep)


class Effect:
    """The plug-in loaded once, for repeated renders.

    ``plugin`` names the module file (default: found as the tool finds it);
    ``threads`` is the number of threads one render spreads over, its own
    included (default: one per processor). An Effect may be used from several
    threads at once: each render in flight gets an instance of its own.
    """

    def __init__(self, plugin=None, threads=None):
        threads = 0 if threads is None else _whole("threads", threads, 1, 4096)
        self._renderer = _lensflare.Renderer(os.fspath(plugin) if plugin is not None else "", threads)
        _live.add(self)

    @property
    def path(self):
        """The module file loaded."""
        return self._renderer.path

    def controls(self):
        """The controls the module declares: a list of dicts with ``key`` (the
        render's argument), ``name``, ``id``, ``default``, and ``range``,
        ``slider``, ``unit`` or ``choices`` ((number, short name, name) tuples)."""
        return self._renderer.controls()

    def render(self, image, *, center=None, brightness=None, lens=None, blend=None, seed=0, frame=0,
               par=1.0, out=None, **deep):
        """Renders the flare over ``image``; see the package's ``render``."""
        request = _request(image, center, brightness, lens, blend, seed, frame, par, out, **deep)
        self._renderer.render(request)
        return request.out

    def render_many(self, images, params=None, threads=None):
        """Renders ``images`` (a sequence of arrays), ``threads`` at once
        (default: one per processor). ``params`` is one dict of ``render``'s
        keyword arguments for every image, or a sequence of dicts, one per
        image. Returns the rendered arrays in order."""
        images = list(images)
        if params is None or isinstance(params, dict):
            params = [params or {}] * len(images)
        params = list(params)
        if len(params) != len(images):
            raise ValueError(f"params: {len(params)} sets of parameters for {len(images)} images")
        for p in params:
            if not isinstance(p, dict):
                raise TypeError(f"params: expected dicts of render's arguments, not {type(p).__name__}")
        requests = [_request(image, **p) for image, p in zip(images, params)]
        threads = 0 if threads is None else _whole("threads", threads, 1, 4096)
        self._renderer.render_many(requests, threads)
        return [r.out for r in requests]


_shared = {}
_shared_lock = threading.Lock()
_live = weakref.WeakSet()


def _after_fork_in_child():
    """A forked child (a DataLoader worker, a multiprocessing pool) has none of
    the parent's worker threads: every Effect starts its renders afresh."""
    global _shared_lock
    _shared_lock = threading.Lock()
    for effect in list(_live):
        effect._renderer.forget_slots_after_fork()


os.register_at_fork(after_in_child=_after_fork_in_child)


def _effect(threads):
    """The process's Effects, loaded on first use: one whose renders spread
    over every processor, one whose renders each keep to one thread (batches)."""
    with _shared_lock:
        if threads not in _shared:
            _shared[threads] = Effect(threads=threads)
        return _shared[threads]


def render(image, *, center=None, brightness=None, lens=None, blend=None, seed=0, frame=0, par=1.0,
           out=None, **deep):
    """Returns ``image`` with the flare over it (or fills ``out`` and returns it).

    image: HxWx3 or HxWx4 numpy array of uint8, uint16, float16 or float32,
        any strides (copied when not C-contiguous), read-only allowed.
    center: the flare centre, "x,y" or (x, y), each pixels or "N%" of the
        frame (default: 40 %, 40 %).
    brightness: Flare Brightness, percent (0 to 300).
    lens: Lens Type, 1 to 3 or its name ("zoom", "35mm", "105mm").
    blend: Blend With Original, percent (0 to 100).
    seed, frame: the rays' seed; the frame renders with srand((seed + frame x
        2654435761) mod 2^32), as frame ``frame`` of the tool's ``--seed``.
    par: pixel aspect ratio, a number or "N:D".
    out: a C-contiguous, writeable array of the image's shape and dtype (it
        may be ``image`` itself).
    **deep: the options of deep plates (uint16, float16, float32), as the
        tool's: ``colorspace`` (the plate's colour space), ``composite``
        ("screen" or "add"), ``flare_precision`` ("full", the default for
        these arrays as for the tool's deep outputs, or "exact") and, for
        float16 and float32 only, ``exposure`` (stops, -20 to 20, default 0:
        the flare scaled by 2**exposure in linear light, after its conversion
        from sRGB, so its core can reach the plate's highlights).
    """
    return _effect(None).render(image, center=center, brightness=brightness, lens=lens, blend=blend,
                                seed=seed, frame=frame, par=par, out=out, **deep)


def render_many(images, params=None, threads=None):
    """Renders a batch, ``threads`` images at once (default: one per
    processor), each on one thread; see ``Effect.render_many``."""
    return _effect(1).render_many(images, params, threads)


def controls():
    """The controls the plug-in declares; see ``Effect.controls``."""
    return _effect(None).controls()


from . import augment  # noqa: E402  (uses render)
