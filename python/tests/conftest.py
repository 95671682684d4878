"""Fixtures: the native program (BMPVINTAGE, else the repository's build) and
BMP files of every kind (fuzz/MakeSeeds.cpp's seeds and the sample)."""

import os
import struct
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def native() -> Path:
    found = [Path(p) for p in [os.environ.get("BMPVINTAGE", "")] if p]
    found += [ROOT / "build" / b / "bmpvintage" for b in ("test", "demo")]
    for path in found:
        if path.is_file():
            return path
    pytest.fail("no native program: set BMPVINTAGE (.ci/native-program.sh builds it)")


def bmp_header(width: int, height: int, bits: int) -> tuple[bytes, int]:
    """The headers of an uncompressed BMP file, and the size of its pixels."""
    size = (width * bits // 8 + 3) // 4 * 4 * height
    return struct.pack("<2sI4xIIiiHH24x", b"BM", 54 + size, 54, 40, width, height, 1, bits), size


def native_tone(native: Path, source: Path, out: Path) -> tuple[bytes | None, str]:
    """The native program's output for `source`, or None and its reason."""
    run = subprocess.run([native, source, out], capture_output=True, text=True)
    if run.returncode == 0:
        return out.read_bytes(), ""
    return None, run.stderr.strip().rsplit(": ", 1)[-1]


@pytest.fixture(scope="session")
def kinds(tmp_path_factory: pytest.TempPathFactory) -> list[Path]:
    folder = tmp_path_factory.mktemp("kinds")
    program = folder / "make_bmp_seeds"
    subprocess.run(["g++", "-std=c++20", "-O1", f"-I{ROOT}", ROOT / "fuzz/MakeSeeds.cpp",
                    "-o", program], check=True)
    subprocess.run([program, folder], check=True, capture_output=True)
    program.unlink()
    (folder / "sample.bmp").write_bytes((ROOT / "samples/sample.bmp").read_bytes())
    return sorted(folder.iterdir())
