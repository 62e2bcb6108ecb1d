"""Track files laid out byte by byte with numpy, without the library, for the Python tests."""

import numpy as np

HEADER = np.dtype([
    ("magic", "S6"), ("dimension", "<i2", 3), ("voxel_size", "<f4", 3), ("aux_vector", "<f4", 3),
    ("scalar_count", "<i2"), ("scalar_names", "S20", 10), ("property_count", "<i2"),
    ("property_names", "S20", 10), ("aux_matrix", "<f4", 16), ("reserved", "V444"),
    ("orientation", "S4"), ("secondary_orientation", "S4"), ("axis_vectors", "<f4", 6),
    ("extra", "V8"), ("track_count", "<i4"), ("version", "<i4"), ("header_size", "<i4")])
assert HEADER.itemsize == 1000


def header(scalar_names=(), property_names=(), dims=(10, 20, 30), voxel=(1.0, 1.0, 2.5)):
    """A header as the toolkit writes it, with the given name tables (their sizes: the counts)."""
    h = np.zeros((), HEADER)
    h["magic"], h["dimension"], h["voxel_size"] = b"TRACK", dims, voxel
    h["scalar_count"], h["property_count"] = len(scalar_names), len(property_names)
    h["scalar_names"][:len(scalar_names)] = [n.encode() for n in scalar_names]
    h["property_names"][:len(property_names)] = [n.encode() for n in property_names]
    h["orientation"], h["axis_vectors"] = b"LPS", (1, 0, 0, 0, 1, 0)
    h["version"], h["header_size"] = 2, 1000
    return h


def write(path, h, tracks, cut=0):
    """Writes `h` and the tracks, each (points (n, 3), scalars (n, S), properties (P,)), with
    the header's track count set; `cut` bytes are left off the end."""
    h = h.copy()
    h["track_count"] = len(tracks)
    parts = [h.tobytes()]
    for points, scalars, properties in tracks:
        parts.append(np.int32(len(points)).tobytes())
        parts.append(np.hstack([points, scalars]).astype("<f4").tobytes())
        parts.append(np.asarray(properties, "<f4").tobytes())
    data = b"".join(parts)
    with open(path, "wb") as f:
        f.write(data[:len(data) - cut])


def read(path):
    """The header and the tracks of a file written in the machine's (little-endian) order."""
    data = open(path, "rb").read()
    h = np.frombuffer(data[:1000], HEADER)[0]
    s, p = int(h["scalar_count"]), int(h["property_count"])
    tracks, at = [], 1000
    while at < len(data):
        n = int(np.frombuffer(data, "<i4", 1, at)[0])
        body = np.frombuffer(data, "<f4", (3 + s) * n + p, at + 4)
        rows = body[:(3 + s) * n].reshape(n, 3 + s)
        tracks.append((rows[:, :3], rows[:, 3:], body[(3 + s) * n:]))
        at += 4 + 4 * body.size
    return h, tracks


def track(n, seed, scalars=0, properties=0):
    """A track of n points with distinct values derived from `seed`."""
    values = seed + np.arange(n * (3 + scalars) + properties, dtype=np.float32) / 8
    rows = values[:n * (3 + scalars)].reshape(n, 3 + scalars)
    return rows[:, :3], rows[:, 3:], values[n * (3 + scalars):]
