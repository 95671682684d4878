"""Every call of bmpvintage, on one BMP file: python every_call.py IN.BMP OUT_DIR

Writes OUT_DIR/tone.bmp, into.bmp, file.bmp, stream.bmp (each the toned
file), pixels.bmp and image.bmp (the pixels toned through numpy and Pillow,
saved as 24-bit BMP files by Pillow), and in-place.bmp (a copy toned in
place); prints the failure of a file that is not a BMP.
"""

import shutil
import sys
from pathlib import Path

import numpy as np
from PIL import Image  # type: ignore[import]  # Pillow 9 has no type hints

import bmpvintage


def main(source: Path, out: Path) -> None:
    data = source.read_bytes()
    (out / "tone.bmp").write_bytes(bmpvintage.tone(data))

    buffer = bytearray(data)
    bmpvintage.tone_into(buffer)
    (out / "into.bmp").write_bytes(buffer)

    bmpvintage.tone_file(source, out / "file.bmp")
    shutil.copyfile(source, out / "in-place.bmp")
    bmpvintage.tone_file(out / "in-place.bmp", out / "in-place.bmp")

    with source.open("rb") as reader, (out / "stream.bmp").open("wb") as writer:
        written: int = bmpvintage.tone_stream(reader, writer)
    assert written == len(data)

    with Image.open(source) as opened:
        image = opened.convert("RGB")
    pixels = np.asarray(image).copy()
    bmpvintage.tone_pixels(pixels, layout="RGB")
    Image.fromarray(pixels).save(out / "pixels.bmp")
    bmpvintage.tone_image(image).save(out / "image.bmp")

    try:
        bmpvintage.tone_file(out / "missing.bmp", out / "never.bmp", overwrite=False)
    except bmpvintage.BMPVintageError as error:
        assert isinstance(error, OSError)
        print(f"{error.code}: {error}")


if __name__ == "__main__":
    main(Path(sys.argv[1]), Path(sys.argv[2]))
