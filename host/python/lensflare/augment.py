"""Random lens flares for training data.

``RandomLensFlare`` puts a flare drawn at random onto an image: the plug-in's
own flare, with its streaks, rays and lens elements, rather than a few blended
circles. It is called as ``t(image)`` (returns the array) or as
``t(image=image, **targets)`` (returns the dictionary with "image" replaced),
the convention of the common augmentation libraries, so it composes with them.

Draws come from a numpy Generator seeded by ``seed``: the same seed gives the
same flares in the same order. In a ``torch.utils.data.DataLoader`` worker the
stream is re-seeded from the seed and the worker's own seed, so workers never
repeat each other's flares, and a DataLoader seeded through torch repeats its
flares run after run.
"""

import sys

import numpy as np

from . import render as _render

__all__ = ["RandomLensFlare"]


def _span(name, value, low, high):
    """A (low, high) range, or a single value as (value, value), inside low..high."""
    a, b = (value, value) if np.isscalar(value) else tuple(value)
    if not low <= a <= b <= high:
        raise ValueError(f"{name}: ({a}, {b}) is not a range within {low} to {high}")
    return float(a), float(b)


def _worker_seed():
    """The DataLoader worker's seed, or None outside a worker."""
    data = sys.modules.get("torch.utils.data")
    info = data.get_worker_info() if data is not None else None
    return None if info is None else int(info.seed)


class RandomLensFlare:
    """A flare with random centre, brightness, lens and blend, with probability ``p``.

    center_x, center_y: ranges of the centre as fractions of the frame's width
        and height (0 the left or top edge, 1 the other; beyond them is off
        the frame).
    brightness: range of Flare Brightness, percent (0 to 300).
    lenses: the lenses to choose from, numbers or names, with equal chance.
    blend: range of Blend With Original, percent (0 to 100).
    p: the chance that an image gets a flare at all.
    seed: the stream's seed (None: fresh entropy).
    **deep: options for float and 16-bit images, as ``lensflare.render``
        takes them (``colorspace="sRGB"`` for display-referred float images
        in 0..1, ``composite="screen"``).
    """

    def __init__(self, center_x=(0.0, 1.0), center_y=(0.0, 1.0), brightness=(50.0, 150.0),
                 lenses=(1, 2, 3), blend=(0.0, 0.0), p=0.5, seed=None, **deep):
        self.center_x = _span("center_x", center_x, -10.0, 10.0)
        self.center_y = _span("center_y", center_y, -10.0, 10.0)
        self.brightness = _span("brightness", brightness, 0.0, 300.0)
        self.blend = _span("blend", blend, 0.0, 100.0)
        self.lenses = tuple(lenses)
        if not self.lenses:
            raise ValueError("lenses: no lens to choose from")
        if not 0.0 <= p <= 1.0:
            raise ValueError(f"p: {p} is not a probability (0 to 1)")
        self.p = float(p)
        self.deep = deep
        self.seed = np.random.SeedSequence(seed).entropy if seed is None else seed
        self._rng = np.random.default_rng(self.seed)
        self._worker = None

    def _stream(self):
        worker = _worker_seed()
        if worker is not None and worker != self._worker:
            self._worker = worker
            self._rng = np.random.default_rng([self.seed, worker])
        return self._rng

    def params(self, width, height, force=False):
        """Draws the next flare for a width x height image: render's keyword
        arguments, or None for an image left as it is (never when ``force``)."""
        rng = self._stream()
        if rng.random() >= self.p and not force:
            return None
        return {
            "center": (rng.uniform(*self.center_x) * width, rng.uniform(*self.center_y) * height),
            "brightness": rng.uniform(*self.brightness),
            "lens": self.lenses[rng.integers(len(self.lenses))],
            "blend": rng.uniform(*self.blend),
            "seed": int(rng.integers(2**32)),
        }

    def apply(self, image, force=False):
        """The image with the next flare drawn over it (or as it is, unless ``force``)."""
        params = self.params(image.shape[1], image.shape[0], force)
        return image if params is None else _render(image, **params, **self.deep)

    def __call__(self, *args, force_apply=False, **targets):
        if args:
            if len(args) != 1 or targets:
                raise TypeError("RandomLensFlare: call as t(image) or t(image=image, ...)")
            return self.apply(args[0])
        if "image" not in targets:
            raise TypeError("RandomLensFlare: no image given (t(image) or t(image=image))")
        result = dict(targets)
        result["image"] = self.apply(result["image"], force_apply)
        return result

    def __repr__(self):
        return (f"RandomLensFlare(center_x={self.center_x}, center_y={self.center_y}, "
                f"brightness={self.brightness}, lenses={self.lenses}, blend={self.blend}, p={self.p})")
