"""render against the tool, byte for byte, and its refusals."""

import ctypes
import threading

import numpy as np
import OpenImageIO as oiio
import pytest

import lensflare
from conftest import plate

_FORMATS = {np.uint8: oiio.UINT8, np.uint16: oiio.UINT16, np.float16: oiio.HALF, np.float32: oiio.FLOAT}


# Samples as stored: no premultiplying by alpha on either side, as the tool keeps them.
def write(path, pixels):
    out = oiio.ImageOutput.create(str(path))
    layout = oiio.ImageSpec(pixels.shape[1], pixels.shape[0], pixels.shape[2], _FORMATS[pixels.dtype.type])
    layout.attribute("oiio:UnassociatedAlpha", 1)
    assert out.open(str(path), layout) and out.write_image(pixels) and out.close(), oiio.geterror()


def read(path, dtype):
    config = oiio.ImageSpec()
    config.attribute("oiio:UnassociatedAlpha", 1)
    data = oiio.ImageInput.open(str(path), config)
    pixels = data.read_image(_FORMATS[np.dtype(dtype).type])
    data.close()
    return pixels


# Each row: the file the tool reads and writes, the array, the tool's options
# and the same as render's arguments.
SAME_AS_TOOL = [
    ("png", (90, 160, 3, np.uint8), ["--lens", "3", "--seed", "7"], dict(lens=3, seed=7)),
    ("png", (72, 128, 4, np.uint8), ["--lens", "zoom", "--center", "30%,60%", "--blend", "25"],
     dict(lens="zoom", center="30%,60%", blend=25)),
    ("png", (64, 96, 3, np.uint8), ["--lens", "105mm", "--brightness", "220", "--par", "2:1", "--center", "20,30"],
     dict(lens="105mm", brightness=220, par=2.0, center=(20, 30))),
    ("png", (80, 120, 3, np.uint16), ["--lens", "2", "--blend", "40"], dict(lens=2, blend="40%")),
    ("tif", (70, 110, 4, np.uint16), ["--lens", "3", "--seed", "3", "--composite", "add"],
     dict(lens=3, seed=3, composite="add")),
    ("exr", (60, 100, 3, np.float16), ["--lens", "3", "--center", "50%,50%", "--seed", "11"],
     dict(lens=3, center=("50%", "50%"), seed=11)),
    ("exr", (66, 99, 4, np.float32), ["--lens", "1", "--brightness", "150", "--colorspace", "sRGB"],
     dict(lens=1, brightness="150%", colorspace="sRGB")),
    ("tif", (50, 80, 3, np.float32), ["--lens", "35mm", "--composite", "screen", "--blend", "10"],
     dict(lens="35mm", composite="screen", blend=10.0)),
    ("exr", (48, 64, 3, np.float16), ["--lens", "2", "--exposure", "2.5", "--blend", "20"],
     dict(lens=2, exposure=2.5, blend=20)),
]


@pytest.mark.parametrize("ext,shape,options,kwargs", SAME_AS_TOOL)
def test_render_gives_the_tools_bytes(tmp_path, tool, ext, shape, options, kwargs):
    image = plate(*shape)
    write(tmp_path / f"in.{ext}", image)
    status, errors = tool("render", str(tmp_path / f"in.{ext}"), "-o", str(tmp_path / f"out.{ext}"), *options)
    assert status == 0, errors
    expected = read(tmp_path / f"out.{ext}", image.dtype)
    got = lensflare.render(image, **kwargs)
    assert got.dtype == image.dtype and got.shape == image.shape
    assert np.array_equal(got.view(np.uint8), expected.view(np.uint8))
    assert not np.array_equal(got, image)   # the flare is there


def test_strides_read_only_and_out_give_the_same_bytes():
    image = plate(60, 80, 4, np.uint8)
    expected = lensflare.render(image, lens=3, seed=5)
    flipped = np.ascontiguousarray(image[::-1, ::-1])[::-1, ::-1]       # negative strides
    wide = np.zeros((60, 160, 4), np.uint8)
    wide[:, ::2] = image                                              # every other column
    frozen = image.copy()
    frozen.flags.writeable = False
    for source in (flipped, wide[:, ::2], frozen):
        assert np.array_equal(lensflare.render(source, lens=3, seed=5), expected)
    out = np.empty_like(image)
    assert lensflare.render(image, lens=3, seed=5, out=out) is out and np.array_equal(out, expected)
    in_place = image.copy()
    lensflare.render(in_place, lens=3, seed=5, out=in_place)
    assert np.array_equal(in_place, expected)
    deep = plate(40, 50, 3, np.float32)
    alone = lensflare.render(deep, seed=2, lens=3)
    assert np.array_equal(lensflare.render(deep.astype(">f4"), seed=2, lens=3), alone)   # big-endian samples
    lensflare.render(deep, seed=2, lens=3, out=deep)
    assert np.array_equal(deep, alone)


REFUSED = [
    (np.zeros((8, 8, 3), np.int32), {}, TypeError, "int32 samples are not uint8, uint16, float16 or float32"),
    ([[[0, 0, 0]]], {}, TypeError, "expected a numpy array, not list"),
    (np.zeros((8, 8), np.uint8), {}, ValueError, "is not HxWx3 (RGB) or HxWx4 (RGBA)"),
    (np.zeros((8, 8, 5), np.uint8), {}, ValueError, "is not HxWx3 (RGB) or HxWx4 (RGBA)"),
    (np.zeros((0, 8, 3), np.uint8), {}, ValueError, "a 8x0 image has no pixels"),
    (np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (2, 32768, 3)), {}, ValueError,
     "frame of 32768x2 pixels is too large"),
    (None, dict(brightness=400), ValueError, "brightness: Flare Brightness 400 is outside 0 to 300"),
    (None, dict(brightness="bright"), ValueError, "Flare Brightness \"bright\" is not a number"),
    (None, dict(lens=7), ValueError, "lens: Lens Type 7 is not one of 1 to 3, zoom, 35mm or 105mm"),
    (None, dict(center=(40000, 2)), ValueError, "center: Flare Center x 40000 is outside -32768 to 32767.99998"),
    (None, dict(center="left"), ValueError, "\"left\" is not x,y"),
    (None, dict(blend=True), ValueError, "Blend With Original"),
    (None, dict(par="2-1"), ValueError, "par: \"2-1\" is not N:D (for example 10:11)"),
    (None, dict(par=-1.0), ValueError, "par: -1.0 is not a positive number"),
    (None, dict(seed=-1), ValueError, "seed: -1 is outside 0 to 4294967295"),
    (None, dict(composite="add"), ValueError, "composite: applies to uint16, float16 and float32 images only"),
    (np.zeros((8, 8, 3), np.float32), dict(gain=1), ValueError, "gain: not an option of a render"),
    (None, dict(exposure=1), ValueError, "exposure: applies to uint16, float16 and float32 images only"),
    (np.zeros((8, 8, 3), np.uint16), dict(exposure=1), ValueError,
     "exposure: exposure scales the flare in linear light, for floating-point (scene-linear) plates only"),
    (np.zeros((8, 8, 3), np.float32), dict(exposure=21), ValueError, "exposure: Exposure 21 is outside -20 to 20 stops"),
    (np.zeros((8, 8, 3), np.float32), dict(composite="over"), ValueError, "composite: \"over\" is not screen or add"),
    (np.zeros((8, 8, 3), np.float32), dict(colorspace="NoSuchSpace"), ValueError, "NoSuchSpace"),
    (None, dict(out=np.zeros((8, 8, 4), np.uint8)), ValueError, "out: uint8 (8, 8, 4) does not match"),
    (None, dict(out=np.zeros((8, 8, 3), np.uint8)[:, ::-1]), ValueError, "out: must be a writeable C-contiguous"),
]


@pytest.mark.parametrize("image,kwargs,error,words", REFUSED)
def test_bad_input_is_refused_in_the_tools_words(image, kwargs, error, words):
    image = np.zeros((8, 8, 3), np.uint8) if image is None else image
    with pytest.raises(error) as raised:
        lensflare.render(image, **kwargs)
    assert words in str(raised.value)


@pytest.mark.parametrize("option,text,kwargs", [
    ("--lens", "7", dict(lens=7)), ("--blend", "120", dict(blend="120")), ("--center", "20,x", dict(center="20,x")),
    ("--brightness", "-1%", dict(brightness="-1%"))])
def test_a_refused_control_has_the_tools_words(tool, tmp_path, option, text, kwargs):
    status, errors = tool("render", "-o", str(tmp_path / "x.png"), "--size", "8x8", option, text)
    assert status == 2
    with pytest.raises(ValueError) as raised:
        lensflare.render(np.zeros((8, 8, 3), np.uint8), **kwargs)
    words = str(raised.value)
    assert words.startswith(option[2:] + ": ")
    assert errors == f"lensflare: {option} {text}: {words.split(': ', 1)[1]}\n"


def test_threads_rendering_at_once_each_get_their_own_rays():
    # Lens 3 draws its rays from rand(): with one generator for the process,
    # renders side by side would interleave their draws.
    images = [plate(120, 200, 3, np.uint8, seed=k) for k in range(4)]
    alone = [lensflare.render(image, lens=3, seed=k, center="60%,40%") for k, image in enumerate(images)]
    effect = lensflare.Effect(threads=1)
    results = [[None] * 4 for _ in range(3)]
    start = threading.Barrier(4)

    def work(k):
        start.wait()
        for rep in range(3):
            results[rep][k] = effect.render(images[k], lens=3, seed=k, center="60%,40%")

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for rep in range(3):
        for k in range(4):
            assert np.array_equal(results[rep][k], alone[k]), (rep, k)
    params = [dict(lens=3, seed=k, center="60%,40%") for k in range(4)]
    assert all(np.array_equal(a, b) for a, b in zip(lensflare.render_many(images, params, threads=4), alone))


def test_effects_made_one_after_another_keep_rendering_the_same_bytes():
    # A pipeline makes an Effect per shot: far more in a process than a
    # plug-in could be loaded times, each rendering as the first did.
    image = plate(64, 48, 3, np.uint8, seed=2)
    expected = lensflare.render(image, lens=3, seed=5)
    for _ in range(40):
        effect = lensflare.Effect(threads=1)
        assert np.array_equal(effect.render(image, lens=3, seed=5), expected)
        del effect
    # Two alive at once, rendering side by side, still draw their own rays.
    pair = [lensflare.Effect(threads=1) for _ in range(2)]
    results = [None, None]
    threads = [threading.Thread(target=lambda k=k: results.__setitem__(k, pair[k].render(image, lens=3, seed=5)))
               for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, expected) for r in results)


def test_the_processes_own_rand_is_left_alone():
    libc = ctypes.CDLL(None)
    libc.srand(12345)
    expected = [libc.rand() for _ in range(3)]
    libc.srand(12345)
    first = libc.rand()
    lensflare.render(plate(64, 64, 3, np.uint8), lens=3, seed=1)
    assert [first, libc.rand(), libc.rand()] == expected


def test_controls_are_the_modules():
    by_key = {c["key"]: c for c in lensflare.controls()}
    assert [c["key"] for c in lensflare.controls()] == ["center", "brightness", "lens", "blend"]
    assert by_key["center"]["name"] == "Flare Center" and by_key["center"]["default"] == (40.0, 40.0)
    assert by_key["brightness"]["range"] == (0.0, 300.0) and by_key["brightness"]["default"] == 100.0
    assert by_key["lens"]["choices"] == [(1, "zoom", "50-300mm Zoom"), (2, "35mm", "35mm Prime"),
                                         (3, "105mm", "105mm Prime")]
    assert by_key["blend"]["range"] == (0.0, 100.0) and by_key["blend"]["default"] == 0.0
