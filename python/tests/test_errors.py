"""Errors, their codes and types; the GIL released during a long tone."""

import errno
import io
import pickle
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from PIL import Image

import bmpvintage
from bmpvintage import BMPVintageError, BMPVintageFileError
from conftest import ROOT, bmp_header

SAMPLE = (ROOT / "samples/sample.bmp").read_bytes()


def as_strided_rows(stride):
    base = np.zeros((1, 2, 3), np.uint8)
    return np.lib.stride_tricks.as_strided(base, (2, 2, 3), (stride, 3, 1), writeable=True)


# (call on a temporary folder, exception, its code (its message for TypeError and ValueError),
#  errno, filename relative to the folder)
CASES = {
    "not a BMP": (lambda d: bmpvintage.tone(b"BX" + SAMPLE[2:]), BMPVintageError, "ERR_BMP_NOT_VALID", None, None),
    "str to tone": (lambda d: bmpvintage.tone("BM"), TypeError, r"tone: a bytes-like", None, None),
    "bytes to tone_into": (lambda d: bmpvintage.tone_into(SAMPLE), TypeError, r"writable buffer", None, None),
    "missing input": (lambda d: bmpvintage.tone_file(d / "no.bmp", d / "out.bmp"),
                      BMPVintageFileError, "ERR_BMP_OPEN_INPUT_FAILED", errno.ENOENT, "no.bmp"),
    "no output folder": (lambda d: bmpvintage.tone_file(d / "in.bmp", d / "no/out.bmp"),
                         BMPVintageFileError, "ERR_BMP_OPEN_OUTPUT_FAILED", errno.ENOENT, "no/out.bmp"),
    "no clobber": (lambda d: bmpvintage.tone_file(d / "in.bmp", d / "in.bmp", overwrite=False),
                   BMPVintageFileError, "ERR_BMP_OUTPUT_EXISTS", errno.EEXIST, "in.bmp"),
    "null byte in path": (lambda d: bmpvintage.tone_file(f"{d}/in.bmp\0x", d / "out.bmp"), ValueError, r"null byte", None, None),
    "path of int": (lambda d: bmpvintage.tone_file(3, d / "out.bmp"), TypeError, r"PathLike", None, None),
    "cut short": (lambda d: bmpvintage.tone_stream(io.BytesIO(SAMPLE[:-9]), io.BytesIO()),
                  BMPVintageError, "ERR_BMP_TRUNCATED", None, None),
    "text reader": (lambda d: bmpvintage.tone_stream(io.StringIO("BM"), io.BytesIO()), TypeError, r"tone_stream: a bytes-like", None, None),
    "no writer": (lambda d: bmpvintage.tone_stream(io.BytesIO(SAMPLE), None), TypeError, r"write\(\) method", None, None),
    "list of pixels": (lambda d: bmpvintage.tone_pixels([[[1, 2, 3]]]), TypeError, r"uint8 array is required, not list", None, None),
    "float pixels": (lambda d: bmpvintage.tone_pixels(np.zeros((1, 1, 3))), TypeError, r"array of float64", None, None),
    "layout of 4": (lambda d: bmpvintage.tone_pixels(np.zeros((1, 1, 3), np.uint8), "RGBA"), ValueError, r"shape \(height, width, 4\)", None, None),
    "unknown layout": (lambda d: bmpvintage.tone_pixels(np.zeros((1, 1, 3), np.uint8), "rgb"), ValueError, r"unknown layout", None, None),
    "read-only pixels": (lambda d: bmpvintage.tone_pixels(np.broadcast_to(np.zeros(3, np.uint8), (1, 1, 3))), ValueError, r"read-only", None, None),
    "rows that overlap": (lambda d: bmpvintage.tone_pixels(as_strided_rows(0)), ValueError, r"rows overlap", None, None),
    "not an image": (lambda d: bmpvintage.tone_image(SAMPLE), TypeError, r"PIL\.Image\.Image is required", None, None),
    "grey image": (lambda d: bmpvintage.tone_image(Image.new("L", (2, 2))), ValueError, r"mode L", None, None),
}


@pytest.mark.parametrize("name", CASES)
def test_failures_raise_with_the_core_code_and_leave_files_alone(tmp_path, name):
    call, kind, code, err, filename = CASES[name]
    (tmp_path / "in.bmp").write_bytes(SAMPLE)
    with pytest.raises(kind, match=code if kind in (TypeError, ValueError) else None) as raised:
        call(tmp_path)
    error = raised.value
    assert type(error) is kind
    if kind not in (TypeError, ValueError):
        assert error.code == code and error.message in str(error)
        assert pickle.loads(pickle.dumps(error)).code == code
    if err is not None:
        assert (error.errno, error.filename) == (err, str(tmp_path / filename))
    assert (tmp_path / "in.bmp").read_bytes() == SAMPLE
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.bmp"]


class Trickle(io.RawIOBase):
    def __init__(self, most):
        self.most, self.data, self.calls = most, bytearray(), 0

    def write(self, b):
        self.calls += 1
        assert self.calls < 100000, "called on and on"
        self.data += bytes(b[: self.most])
        return min(len(b), self.most)


def test_the_other_sides_overwrite_short_writes_empty_images_and_errors_without_errno(tmp_path):
    (tmp_path / "in.bmp").write_bytes(SAMPLE)
    bmpvintage.tone_file(tmp_path / "in.bmp", tmp_path / "in.bmp", overwrite=True)
    assert (tmp_path / "in.bmp").read_bytes() == bmpvintage.tone(SAMPLE)
    (writer := Trickle(7)), bmpvintage.tone_stream(io.BytesIO(SAMPLE), writer)
    assert writer.data == bmpvintage.tone(SAMPLE)
    with pytest.raises(OSError):
        bmpvintage.tone_stream(io.BytesIO(SAMPLE), Trickle(0))
    assert bmpvintage.tone_image(Image.new("RGBA", (0, 3))).size == (0, 3)
    (tmp_path / "in.bmp").write_bytes(b"BM")
    with pytest.raises(BMPVintageFileError) as raised:
        bmpvintage.tone_file(tmp_path / "in.bmp", tmp_path / "out.bmp")
    assert raised.value.errno is None and str(raised.value) == f"{tmp_path}/in.bmp: Not a valid BMP file"


def test_a_write_failure_names_the_output_with_errno(tmp_path):
    (tmp_path / "in.bmp").write_bytes(SAMPLE)
    script = ("import resource, signal, sys, bmpvintage\n"
              "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
              "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
              "try: bmpvintage.tone_file(sys.argv[1], sys.argv[2])\n"
              "except OSError as e: print(e.code, e.errno, e.filename)\n")
    run = subprocess.run([sys.executable, "-c", script, tmp_path / "in.bmp", tmp_path / "out.bmp"],
                         capture_output=True, text=True, check=True)
    assert run.stdout.split() == ["ERR_BMP_WRITE_FAILED", str(errno.EFBIG), str(tmp_path / "out.bmp")]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.bmp"]


def test_another_thread_runs_while_200_mb_are_toned():
    header, size = bmp_header(10000, 6667, 24)
    image = bytearray(header) + bytearray(range(256)) * (size // 256 + 1)
    ticks: list[float] = []
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.monotonic())

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.05)
        start = time.monotonic()
        bmpvintage.tone_into(image)
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    inside = [start] + [t for t in ticks if start < t < end] + [end]
    longest = max(b - a for a, b in zip(inside, inside[1:]))
    assert longest < (end - start) / 2, (longest, end - start)
