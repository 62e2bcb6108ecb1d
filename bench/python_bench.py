"""Speed of the Python package against what it wraps: load of a 256 MiB .trk file against reading
its bytes and against nibabel's reader, and track against the C++ driver on the same field.

    PYTHONPATH=build/python python3 bench/python_bench.py build
Best of three runs each (nibabel two); files go to <build>/bench_python.
"""

import os
import subprocess
import sys
import time

import numpy as np

import fibrejoin


def best(run, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def track_file(path, mib=256, points=100):
    """Tracks of `points` points, one per-track property, about `mib` MiB."""
    count = mib * 2**20 // (4 + 12 * points + 4)
    header = bytearray(1000)
    header[0:6] = b"TRACK\0"
    header[6:12] = np.array([100, 100, 100], "<i2").tobytes()
    header[12:24] = np.array([2, 2, 2], "<f4").tobytes()
    header[238:240] = np.array([1], "<i2").tobytes()
    header[240:243] = b"id\0"
    header[440:504] = np.diag([2.0, 2.0, 2.0, 1.0]).astype("<f4").tobytes()
    header[948:952] = b"RAS\0"
    header[988:1000] = np.array([count, 2, 1000], "<i4").tobytes()
    rng = np.random.default_rng(0)
    record = np.zeros((count, 1 + 3 * points + 1), "<f4")
    record[:, 0] = np.array([points], "<i4").view("<f4")[0]
    record[:, 1:-1] = rng.uniform(0, 200, (count, 3 * points))
    record[:, -1] = np.arange(count)
    with open(path, "wb") as f:
        f.write(bytes(header))
        record.tofile(f)


def field(size=40):
    i, j, k = np.meshgrid(*(np.arange(size) + 0.5,) * 3, indexing="ij")
    x, y = i - size / 2, j - size / 2
    r = np.hypot(x, y)
    e = np.stack([-y, x, np.zeros_like(x)], -1) / np.maximum(r, 1e-6)[..., None]
    inside = (r > size / 6) & (r < size / 2.2) & (k > 4) & (k < size - 4)
    d = 0.35 * np.eye(3) + 1.25 * e[..., :, None] * e[..., None, :]
    d[~inside] = 0.7 * np.eye(3)
    return (d[..., [0, 0, 0, 1, 1, 2], [0, 1, 2, 1, 2, 2]] * 1e-3).astype(np.float32)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    work = os.path.join(build, "bench_python")
    os.makedirs(work, exist_ok=True)
    trk = os.path.join(work, "big.trk")
    if not os.path.exists(trk) or os.path.getsize(trk) < 250 * 2**20:
        track_file(trk)
    size = os.path.getsize(trk) / 2**20

    def read_bytes():
        with open(trk, "rb") as f:
            f.read()

    read_bytes()
    raw = best(read_bytes)
    load = best(lambda: fibrejoin.load(trk))
    print(f"{size:.0f} MiB .trk: read bytes {raw:.3f} s, fibrejoin.load {load:.3f} s "
          f"({load / raw:.2f}x the bytes)")
    try:
        import nibabel
        theirs = best(lambda: nibabel.streamlines.load(trk), repeat=2)
        print(f"  nibabel.streamlines.load {theirs:.3f} s ({theirs / load:.1f}x fibrejoin.load)")
    except ImportError:
        print("  nibabel not installed")

    reference = os.path.join(build, "python", "tests", "track_reference")
    tensors = os.path.join(work, "tensors.nii")
    fibrejoin.write_image(tensors, field(), np.diag([2.0, 2.0, 2.0, 1.0]))
    image = fibrejoin.read_tensor_image(tensors)
    for threads in (1, 2):
        out = os.path.join(work, "ref.trk")
        times = [float(subprocess.run([reference, tensors, out, "0", "0.1", str(threads)],
                                      check=True, capture_output=True, text=True).stdout)
                 for _ in range(3)]
        python = best(lambda: fibrejoin.track(image.tensors, image.voxel_size, threads=threads))
        count = len(fibrejoin.load(out))
        print(f"track 40^3 FACT, {count} tracks, {threads} thread(s): C++ driver {min(times):.3f} s,"
              f" fibrejoin.track {python:.3f} s ({python / min(times):.2f}x)")


if __name__ == "__main__":
    main()
