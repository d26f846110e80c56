#!/usr/bin/env python3
"""Throughput of the Python package, and its overhead over the tool's own bench.

    PYTHONPATH=build/python python3 bench/python_bench.py [--repeat N] [--tool build/bin/lensflare]

For each size (512x512 and 1920x1080) and lens: images per second rendering one
image at a time on one thread (Effect(threads=1).render), and two at once
(two Python threads calling the same Effect's render); then at 512x512 the
median time of one render through the package against `lensflare bench
--threads 1` in the same conditions (an opaque black RGB and RGBA frame, the
centre at (625, 400) scaled from 1920x1080, default brightness). Each figure
is the best of its runs, so that a burst of other work on a shared machine
counts less; the CPU time per image shows whether a second thread adds work
(a lock or shared state would) where a busy machine hides the wall-clock
gain. Last, the CPU time of one whole call on a 4x4 image: what a call costs
whatever the image's size, Python's part included. Run it on an idle machine
for figures worth comparing; the tool and the package run in separate
processes here, so python_binding_gbench's BM_Paired is the closer comparison.
"""

import argparse
import pathlib
import re
import resource
import statistics
import subprocess
import threading
import time

import numpy as np

import lensflare

SIZES = [(512, 512), (1920, 1080)]


def frame(width, height, channels=3):
    image = np.zeros((height, width, channels), np.uint8)
    if channels == 4:
        image[..., 3] = 255
    return image


def params(width, height, lens):
    return dict(lens=lens, center=(625.0 * width / 1920.0, 400.0 * height / 1080.0))


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def images_per_second(effect, width, height, lens, count, threads):
    """Images per wall-clock second and the process's CPU ms per image, the better of two runs."""
    image = frame(width, height)

    def work(share):
        for _ in range(share):
            effect.render(image, **params(width, height, lens))

    best, cpu = 0.0, float("inf")
    for _ in range(2):
        # Python threads each rendering in turn, as a pipeline would (render
        # releases the GIL); their outputs come and go as one thread's do.
        runners = [threading.Thread(target=work, args=(count // threads,)) for _ in range(threads)]
        start, start_cpu = time.perf_counter(), cpu_seconds()
        for runner in runners:
            runner.start()
        for runner in runners:
            runner.join()
        best = max(best, count / (time.perf_counter() - start))
        cpu = min(cpu, 1000.0 * (cpu_seconds() - start_cpu) / count)
    return best, cpu


def median_ms(effect, width, height, lens, repeat, channels):
    image = frame(width, height, channels)
    out = np.empty_like(image)
    effect.render(image, out=out, **params(width, height, lens))   # warm-up
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        effect.render(image, out=out, **params(width, height, lens))
        times.append((time.perf_counter() - start) * 1000.0)
    return statistics.median(times)


def call_us(effect, repeat):
    """Microseconds of CPU for a whole call of Effect.render on a 4x4 image, the
    least of `repeat` rounds of 1000 calls: the per-call cost that does not grow
    with the image (the Python side, the extension's entry, the controls'
    checks, the module's setup of a frame), an upper bound of what Python adds
    to a render of any size."""
    image = frame(4, 4)
    out = np.empty_like(image)
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time()
        for _ in range(1000):
            effect.render(image, out=out, lens=2, center=(1.0, 1.0))
        best = min(best, (time.thread_time() - start) * 1000.0)
    return best


def tool_median_ms(tool, width, height, lens, repeat):
    text = subprocess.run([tool, "bench", "--size", f"{width}x{height}", "--threads", "1", "--lens", str(lens),
                           "--repeat", str(repeat)], capture_output=True, text=True, check=True).stdout
    return float(re.search(r"render median ([0-9.]+) ms", text).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=40, help="renders per measurement (default 40)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of the overhead comparison (default 3)")
    parser.add_argument("--tool", default=str(pathlib.Path(lensflare.__file__).resolve().parents[2] / "bin" / "lensflare"))
    args = parser.parse_args()
    effect = lensflare.Effect(threads=1)
    print("size        lens  1 thread img/s  2 threads img/s  speed-up  CPU ms/img 1 thread  2 threads")
    for width, height in SIZES:
        count = args.repeat if width * height <= 512 * 512 else max(4, args.repeat // 4)
        for lens in (1, 2, 3):
            one, cpu_one = images_per_second(effect, width, height, lens, count, 1)
            two, cpu_two = images_per_second(effect, width, height, lens, count * 2, 2)
            print(f"{width}x{height:<6} {lens:>4}  {one:>14.1f}  {two:>15.1f}  {two / one:>7.2f}x"
                  f"  {cpu_one:>19.2f}  {cpu_two:>9.2f}")
    print("\n512x512, one thread: median ms per render")
    print("lens  lensflare bench  render RGB  overhead  render RGBA  overhead")
    for lens in (1, 2, 3):
        # Interleaved rounds, the best of each kept: on a busy machine the
        # least disturbed round is the closest to the cost itself.
        tool_ms, rgb, rgba = float("inf"), float("inf"), float("inf")
        for _ in range(args.rounds):
            tool_ms = min(tool_ms, tool_median_ms(args.tool, 512, 512, lens, args.repeat))
            rgb = min(rgb, median_ms(effect, 512, 512, lens, args.repeat, 3))
            rgba = min(rgba, median_ms(effect, 512, 512, lens, args.repeat, 4))
        print(f"{lens:>4}  {tool_ms:>15.2f}  {rgb:>10.2f}  {100 * (rgb / tool_ms - 1):>7.1f}%"
              f"  {rgba:>11.2f}  {100 * (rgba / tool_ms - 1):>7.1f}%")
    print(f"\nOne call of Effect.render on a 4x4 image: {call_us(effect, args.rounds * 3):.1f} us of CPU")


if __name__ == "__main__":
    main()
