"""The exceptions of bmpvintage, made from the core library's statuses."""

from __future__ import annotations

import os
from typing import Optional

from . import _core

# The core's names of the statuses met outside its calls too.
NOT_VALID, READ, OPEN_OUTPUT, WRITE, OPEN_INPUT, TRUNCATED, EXISTS = (
    _core.status_name(s) for s in (1, 3, 4, 5, 6, 7, 8))
# Failures about the output file; the others are about the input.
ABOUT_OUTPUT = frozenset((OPEN_OUTPUT, WRITE, EXISTS))


def message(code: str) -> str:
    """The core's message for the status named ``code``."""
    for status in (*range(1, 11), 100):
        if _core.status_name(status) == code:
            return _core.strerror(status)
    return code


class BMPVintageError(Exception):
    """A conversion failed.

    ``code`` is the core library's name of the failure (``"ERR_BMP_NOT_VALID"``,
    ``"ERR_BMP_UNSUPPORTED"``, ...), the same as the npm package's error codes;
    ``message`` is the core library's message ("Not a valid BMP file")."""

    code: str
    message: str

    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return self.message

    def __reduce__(self) -> tuple[type, tuple[str, str]]:
        return (type(self), (self.code, self.message))


class BMPVintageFileError(BMPVintageError, OSError):
    """A file conversion failed: also an :class:`OSError`.

    ``filename`` is the file the failure is about (the output when it could
    not be opened, written or was there already, else the input), ``errno``
    the system's error number behind it (None when there is none) and
    ``strerror`` the core library's message."""

    def __init__(self, code: str, message: str, errno: Optional[int], filename: str) -> None:
        OSError.__init__(self, errno, message, filename)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        reason = f" ({os.strerror(self.errno)})" if self.errno else ""
        return f"{self.filename}: {self.message}{reason}"

    def __reduce__(self) -> tuple[type, tuple[str, str, Optional[int], str]]:  # type: ignore[override]
        return (type(self), (self.code, self.message, self.errno, self.filename))


def error(status: int) -> BMPVintageError:
    return BMPVintageError(_core.status_name(status), _core.strerror(status))


def file_error(status: int, sys_error: int, source: str, destination: str) -> BMPVintageFileError:
    code = _core.status_name(status)
    filename = destination if code in ABOUT_OUTPUT else source
    return BMPVintageFileError(code, _core.strerror(status), sys_error or None, filename)
