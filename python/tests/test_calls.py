"""Every call against the native program, over every BMP kind."""

import io
import mmap
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import bmpvintage
from conftest import ROOT, bmp_header, native_tone

# The bytes-like objects that tone() takes and tone_into() tones in place.
INTO = {
    "bytearray": bytearray,
    "numpy": lambda d: np.frombuffer(bytearray(d), np.uint8),
    "mmap": lambda d: _mmap(d),
}


def _mmap(data: bytes) -> mmap.mmap:
    m = mmap.mmap(-1, max(len(data), 1))
    m[: len(data)] = data
    return m if data else bytearray()


def test_memory_file_and_stream_calls_give_the_native_bytes(native, kinds, tmp_path):
    for source in kinds:
        data = source.read_bytes()
        expected, reason = native_tone(native, source, tmp_path / "native.bmp")
        out = tmp_path / f"{source.name}.out"
        stream = io.BytesIO()
        try:
            bmpvintage.tone_stream(io.BytesIO(data), stream)
        except bmpvintage.BMPVintageError:
            assert expected is None, source.name
        else:
            assert stream.getvalue() == expected, source.name
        if expected is None:
            for call in (lambda: bmpvintage.tone(memoryview(data)),
                         lambda: bmpvintage.tone_file(source, out)):
                with pytest.raises(bmpvintage.BMPVintageError) as failed:
                    call()
                assert failed.value.message == reason, source.name
            for make in INTO.values():
                buffer = make(data)
                with pytest.raises(bmpvintage.BMPVintageError):
                    bmpvintage.tone_into(buffer)
                assert bytes(buffer)[: len(data)] == data, source.name
            assert not out.exists()
            continue
        assert bmpvintage.tone(data) == expected, source.name
        for name, make in INTO.items():
            buffer = make(data)
            bmpvintage.tone_into(buffer)
            assert bytes(buffer)[: len(data)] == expected, (source.name, name)
        bmpvintage.tone_file(str(source), out)
        assert out.read_bytes() == expected, source.name


def test_a_script_using_every_call_gives_the_native_pixels_and_passes_mypy(native, tmp_path):
    script = ROOT / "python/examples/every_call.py"
    sample = ROOT / "samples/sample.bmp"
    run = subprocess.run([sys.executable, script, sample, tmp_path], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("ERR_BMP_OPEN_INPUT_FAILED: ")
    expected, _ = native_tone(native, sample, tmp_path / "native.bmp")
    for name in ("tone", "into", "file", "stream", "in-place"):
        assert (tmp_path / f"{name}.bmp").read_bytes() == expected, name
    with Image.open(tmp_path / "native.bmp") as toned:
        pixels = np.asarray(toned.convert("RGB"))
    for name in ("pixels", "image"):
        with Image.open(tmp_path / f"{name}.bmp") as image:
            assert np.array_equal(np.asarray(image), pixels), name
    mypy = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", tmp_path / "mypy",
                           script], capture_output=True, text=True)
    assert mypy.returncode == 0, mypy.stdout + mypy.stderr


def _all_colours_bmp(path: Path) -> None:
    colours = np.arange(1 << 24, dtype=np.uint32)
    bgr = np.stack([colours & 255, colours >> 8 & 255, colours >> 16], axis=1).astype(np.uint8)
    path.write_bytes(bmp_header(4096, 4096, 24)[0] + bgr.tobytes())


@pytest.fixture(scope="module")
def all_colours(native, tmp_path_factory):
    """All 2^24 colours as BGR rows of 4096 pixels, and the native program's tone of them."""
    folder = tmp_path_factory.mktemp("colours")
    _all_colours_bmp(folder / "all.bmp")
    toned, _ = native_tone(native, folder / "all.bmp", folder / "toned.bmp")
    return [np.frombuffer(b[54:], np.uint8).reshape(4096, 4096, 3)
            for b in ((folder / "all.bmp").read_bytes(), toned)]


VIEWS = [(layout, "packed") for layout in bmpvintage.LAYOUTS] + [
    ("BGR", "rows upside down"), ("XRGB", "rows upside down"), ("RGB", "every other column"),
    ("ABGR", "every other column")]


@pytest.mark.parametrize("layout,view", VIEWS)
def test_tone_pixels_tones_all_colours_as_the_native_program(all_colours, layout, view):
    before, after = all_colours
    big = np.empty((4096, 4096 * (2 if view == "every other column" else 1), len(layout)), np.uint8)
    pixels = {"packed": big, "rows upside down": big[::-1], "every other column": big[:, ::2]}[view]
    extra = before[..., 0] ^ before[..., 1]
    for i, channel in enumerate(layout):
        pixels[..., i] = before[..., "BGR".index(channel)] if channel in "BGR" else extra
    bmpvintage.tone_pixels(pixels, layout)
    for i, channel in enumerate(layout):
        want = after[..., "BGR".index(channel)] if channel in "BGR" else extra
        assert np.array_equal(pixels[..., i], want), channel
