"""A vintage tone for BMP images, numpy pixels and Pillow images.

Every colour is turned to sepia by a fixed matrix, capped at 255, and darkened
by a tenth, in exact double arithmetic, by the SorvaneBMPVintage core library
compiled into this package: the bytes are those of the ``bmpvintage``
program. Every other byte of a BMP file (headers, row padding, gaps, trailing
data, alpha) is kept.

The core works with the GIL released, so other threads run meanwhile, and
calls on different buffers or files are safe from many threads at once.
Failures raise :class:`BMPVintageError` (``.code``, ``.message``); those about
files are also :class:`OSError` (``.errno``, ``.filename``). Objects of the
wrong type raise :class:`TypeError`.

``bmpvintage.dask`` converts many files over a Dask cluster, and
``python -m bmpvintage.cluster`` does it from the command line.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, BinaryIO, Union

from . import _core
from ._errors import BMPVintageError, BMPVintageFileError, file_error

if TYPE_CHECKING:
    import numpy
    import numpy.typing
    from PIL import Image

__all__ = [
    "BMPVintageError",
    "BMPVintageFileError",
    "LAYOUTS",
    "__version__",
    "tone",
    "tone_file",
    "tone_image",
    "tone_into",
    "tone_pixels",
    "tone_stream",
]

__version__ = "1.0.0"

# The core's pixel layouts, in its order, and the bytes of a pixel.
LAYOUTS = ("RGB", "BGR", "RGBA", "BGRA", "ARGB", "ABGR", "RGBX", "BGRX", "XRGB", "XBGR")

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Chunks read by tone_stream: memory stays at about twice this.
_CHUNK = 1 << 20


def tone(data: Any) -> bytes:
    """Tones a whole BMP file held in any bytes-like object (bytes,
    bytearray, memoryview, mmap, a contiguous numpy array) and returns the
    toned file, of the same size.

    Raises BMPVintageError (``ERR_BMP_NOT_VALID``, ``ERR_BMP_UNSUPPORTED``)
    when the bytes are not a BMP that can be converted, TypeError when
    ``data`` is not bytes-like."""
    return _core.tone(data)


def tone_into(buffer: Any) -> None:
    """Tones a whole BMP file in place, in a writable bytes-like object
    (bytearray, a writable memoryview or mmap, a contiguous numpy array).
    On failure the buffer is left as it was.

    Raises BMPVintageError as :func:`tone` does, TypeError when ``buffer`` is
    not bytes-like or is read-only."""
    _core.tone_into(buffer)


def _path(path: StrPath) -> bytes:
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"tone_file: embedded null byte in path {path!r}")
    return encoded


def tone_file(src: StrPath, dst: StrPath, *, overwrite: bool = True) -> None:
    """Tones the BMP file ``src`` into ``dst`` (str, bytes or os.PathLike).

    The output is written to a new file beside ``dst`` that takes its name
    only when whole: a failure leaves an existing ``dst`` as it was and no
    file behind, and ``src == dst`` tones a file in place. Replacing a file
    keeps its permissions and owner; a symbolic link at ``dst`` has its target
    replaced. With ``overwrite=False`` an existing ``dst`` is refused
    (``ERR_BMP_OUTPUT_EXISTS``, errno EEXIST), atomically.

    Raises BMPVintageFileError, an OSError with ``errno`` and ``filename``
    (the output when it could not be opened or written, else the input)."""
    source, destination = _path(src), _path(dst)
    flags = 0 if overwrite else _core.NO_CLOBBER
    status, sys_error = _core.tone_file(source, destination, flags)
    if status != 0:
        raise file_error(status, sys_error, os.fsdecode(source), os.fsdecode(destination))


def tone_stream(reader: BinaryIO, writer: BinaryIO) -> int:
    """Reads a BMP file from the binary file object ``reader`` to its end and
    writes the toned file to ``writer``, in chunks, in memory that does not
    grow with the file. Returns the number of bytes written.

    On failure (BMPVintageError; ``ERR_BMP_TRUNCATED`` when the input ends
    before its image does) some bytes may have been written already: discard
    them. Exceptions of the file objects themselves pass through."""
    read = getattr(reader, "read", None)
    write = getattr(writer, "write", None)
    if not callable(read) or not callable(write):
        raise TypeError("tone_stream: reader needs a read() method and writer a write() method")
    stream = _core.Stream()
    total = 0

    def put(data: bytes) -> None:
        rest: Union[bytes, memoryview] = data
        while rest:
            n = write(rest)
            # Buffered files take everything; raw ones may take less.
            if n is None or n >= len(rest):
                return
            if n <= 0:
                raise OSError("tone_stream: the writer took no bytes")
            rest = memoryview(rest)[n:]

    while True:
        chunk = read(_CHUNK)
        if not chunk:
            break
        out = stream.push(chunk)
        put(out)
        total += len(out)
    out = stream.finish()
    put(out)
    return total + len(out)


def _layout(layout: str) -> tuple[int, int]:
    if layout not in LAYOUTS:
        raise ValueError(f"unknown layout {layout!r}: one of {', '.join(LAYOUTS)}")
    return LAYOUTS.index(layout), len(layout)


def tone_pixels(array: numpy.typing.NDArray[numpy.uint8], layout: str = "RGB") -> None:
    """Tones decoded pixels in place: a numpy uint8 array of shape
    (height, width, 3) for the layouts RGB and BGR, or (height, width, 4)
    for RGBA, BGRA, ARGB, ABGR, RGBX, BGRX, XRGB and XBGR. Any strides do
    (a view, a crop, rows upside down); A and X bytes are kept. Every colour
    is toned exactly as in a BMP file.

    Raises TypeError for anything but a numpy uint8 array, ValueError for an
    unknown layout, a shape that does not fit it, a read-only array or rows
    that share bytes."""
    import numpy

    if not isinstance(array, numpy.ndarray) or array.dtype != numpy.uint8:
        kind = f"array of {array.dtype}" if isinstance(array, numpy.ndarray) else type(array).__name__
        raise TypeError(f"tone_pixels: a numpy uint8 array is required, not {kind}")
    code, channels = _layout(layout)
    if not array.flags.writeable:
        raise ValueError("tone_pixels: the array is read-only")
    if not _core.tone_pixels(array, code, channels):
        packed = numpy.ascontiguousarray(array)
        _core.tone_pixels(packed, code, channels)
        array[...] = packed


def tone_image(image: Image.Image) -> Image.Image:
    """Returns a toned copy of a Pillow image in mode RGB or RGBA (alpha
    kept, ``info`` copied). Any format that Pillow opens (JPEG, PNG, ...) is
    toned exactly as a BMP's colours are; convert other modes first
    (``image.convert("RGB")``).

    Raises TypeError for anything but a Pillow image, ValueError for another
    mode."""
    from PIL import Image

    if not isinstance(image, Image.Image):
        raise TypeError(f"tone_image: a PIL.Image.Image is required, not {type(image).__name__}")
    if image.mode not in ("RGB", "RGBA"):
        raise ValueError(f"tone_image: mode {image.mode} is not toned: convert it to RGB or RGBA")
    width, height = image.size
    if not (width and height):
        return image.copy()
    pixels = bytearray(image.tobytes())
    code, channels = _layout(image.mode)
    _core.tone_pixels(memoryview(pixels).cast("B", (height, width, channels)), code, channels)
    toned = Image.frombytes(image.mode, image.size, bytes(pixels))
    toned.info = dict(image.info)
    return toned
