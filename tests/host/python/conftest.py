"""The package under test is the build tree's (PYTHONPATH=build/python), and
the tool it is compared with is that build's lensflare (LENSFLARE_TOOL, by
default build/bin/lensflare beside it)."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

import lensflare

TOOL = os.environ.get("LENSFLARE_TOOL") or str(
    pathlib.Path(lensflare.__file__).resolve().parents[2] / "bin" / "lensflare")


def plate(height, width, channels, dtype, seed=1):
    """A plate with detail everywhere: a gradient with noise, alpha varying too."""
    rng = np.random.default_rng(seed)
    ramp = np.linspace(0.0, 1.0, width, dtype=np.float64)[None, :, None]
    values = 0.6 * ramp + 0.4 * rng.random((height, width, channels))
    if np.dtype(dtype).kind == "u":
        top = np.iinfo(dtype).max
        return np.round(values * top).astype(dtype)
    return (values * 2.0).astype(dtype)   # scene-linear values above 1.0 too


def run_tool(*args):
    """Runs the tool; returns (exit status, standard error)."""
    done = subprocess.run([TOOL, *args, "--quiet"], capture_output=True, text=True)
    return done.returncode, done.stderr


@pytest.fixture(scope="session")
def tool():
    if not os.path.exists(TOOL):
        pytest.fail(f"no lensflare tool at {TOOL} (set LENSFLARE_TOOL)")
    return run_tool
