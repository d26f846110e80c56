"""RandomLensFlare: seeded streams, the dictionary convention, pickling, and
separate streams in DataLoader workers."""

import pickle

import numpy as np
import pytest

import lensflare
from lensflare.augment import RandomLensFlare
from conftest import plate


def flares(t, images):
    return [t(image) for image in images]


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_a_seed_repeats_its_flares_and_another_does_not(dtype):
    images = [plate(48, 64, 3, dtype, seed=k) for k in range(4)]
    first = flares(RandomLensFlare(p=1.0, seed=3), images)
    again = flares(RandomLensFlare(p=1.0, seed=3), images)
    other = flares(RandomLensFlare(p=1.0, seed=4), images)
    assert all(a.dtype == dtype and np.array_equal(a, b) for a, b in zip(first, again))
    assert not any(np.array_equal(a, b) for a, b in zip(first, other))
    assert not any(np.array_equal(a, image) for a, image in zip(first, images))


def test_a_draw_is_a_render_with_its_parameters():
    image = plate(50, 80, 4, np.uint8)
    t = RandomLensFlare(center_x=(0.25, 0.25), center_y=0.5, brightness=(120, 120), lenses=("105mm",),
                        blend=(10, 10), p=1.0, seed=9)
    params = RandomLensFlare(center_x=(0.25, 0.25), center_y=0.5, brightness=(120, 120), lenses=("105mm",),
                             blend=(10, 10), p=1.0, seed=9).params(80, 50)
    assert params["center"] == (20.0, 25.0) and params["lens"] == "105mm" and params["brightness"] == 120.0
    assert np.array_equal(t(image), lensflare.render(image, **params))


def test_probability_dictionary_call_and_pickle():
    image = plate(32, 32, 3, np.uint8)
    never = RandomLensFlare(p=0.0, seed=1)
    assert never(image) is image
    assert np.array_equal(RandomLensFlare(p=0.0, seed=1)(image=image, force_apply=True)["image"],
                          lensflare.render(image, **RandomLensFlare(p=0.0, seed=1).params(32, 32, force=True)))
    t = RandomLensFlare(p=1.0, seed=5)
    mask = np.ones((32, 32), bool)
    result = t(image=image, mask=mask)
    assert set(result) == {"image", "mask"} and result["mask"] is mask
    t(image)
    copy = pickle.loads(pickle.dumps(t))
    assert np.array_equal(copy(image), t(image))
    with pytest.raises(TypeError):
        t()
    with pytest.raises(ValueError, match="brightness"):
        RandomLensFlare(brightness=(100, 400))


class _Frames:
    def __init__(self, transform):
        self.transform = transform
        self.image = plate(40, 60, 3, np.uint8)

    def __len__(self):
        return 8

    def __getitem__(self, index):
        return self.transform(image=self.image)["image"]


def _epoch(seed):
    torch = pytest.importorskip("torch")
    torch.manual_seed(seed)
    # Rendered in the parent first: its worker threads do not come along into
    # the forked workers, which must render all the same.
    lensflare.render(plate(8, 8, 3, np.uint8))
    loader = torch.utils.data.DataLoader(_Frames(RandomLensFlare(p=1.0, seed=2)), batch_size=2, num_workers=2)
    return [item.numpy() for batch in loader for item in batch]


def test_dataloader_workers_draw_their_own_flares_repeatably():
    first = _epoch(0)
    # Worker 0 serves batches 0 and 2, worker 1 batches 1 and 3: a copied
    # stream would give both workers' first batches the same flares.
    assert not np.array_equal(first[0], first[2])
    distinct = {item.tobytes() for item in first}
    assert len(distinct) == len(first)
    assert all(np.array_equal(a, b) for a, b in zip(first, _epoch(0)))
