"""Many files over a Dask cluster.

:func:`tone_files` converts (source, destination) pairs on the workers of a
``distributed.Client``; :func:`tone_tree` mirrors a folder tree into another
folder, as ``bmpvintage -r --output-dir`` does. Paths are local (a folder
every worker sees, such as a shared file system) or URLs of any fsspec file
system (``s3://bucket/photos``, ``file:///srv/photos``); relative local paths
are taken from the client's working folder.

Every task is safe to run again, as Dask does when a worker is lost: it
writes the same bytes, and no half-written file ever stands under an
output's name. A local output is written by the core library's file call
(a new file beside it, renamed into place when whole); an fsspec output is
written to a temporary key beside it and then moved there. When a run ends,
the temporary files that conversions killed with their worker left in its
output folders are removed: do not write into those folders from elsewhere
during a run.

Each file gives one :class:`FileResult`: converted, or failed with the core
library's status name and message.
"""

from __future__ import annotations

import os
import posixpath
import re
import uuid
from dataclasses import dataclass, replace
from typing import Any, Callable, Iterable, Mapping, Optional, Sequence

from . import BMPVintageError, BMPVintageFileError, tone_file, tone_stream
from . import _errors as codes

__all__ = ["FileResult", "Plan", "plan", "plan_tree", "tone_files", "tone_tree"]

# The core library's temporary files: ".bmpvintage-" and 12 hexadecimal digits.
_CORE_TEMPORARY = re.compile(r"\.bmpvintage-[0-9a-f]{12}\.tmp")


@dataclass(frozen=True)
class FileResult:
    """What became of one file.

    ``code`` is ``"OK"`` or the core library's status name
    (``"ERR_BMP_NOT_VALID"``, ``"ERR_BMP_OPEN_INPUT_FAILED"``, ...); ``message`` the
    core library's message, with the system's reason in parentheses where
    there is one (empty when converted). ``retries`` counts the times the
    file's task was started again because its worker was lost."""

    source: str
    destination: str
    converted: bool
    code: str
    message: str
    retries: int = 0

    @property
    def about(self) -> str:
        """The file a failure is about: the output when it could not be
        opened or written or was there already, else the input."""
        return self.destination if self.code in codes.ABOUT_OUTPUT else self.source


@dataclass(frozen=True)
class Plan:
    """Files found for a run: ``pairs`` to convert, ``refused`` inputs that
    are not converted at all (with their FileResult), and ``links``: symbolic
    links met inside folders, which are not followed (as ``find`` does not)."""

    pairs: list[tuple[str, str]]
    refused: list[FileResult]
    links: list[str]


def is_url(path: str) -> bool:
    """Whether ``path`` names a file through fsspec (``protocol://...``)."""
    return re.match(r"^[A-Za-z][A-Za-z0-9+.-]+://", path) is not None


def _local(path: str) -> str:
    return path if is_url(path) else os.path.abspath(path)


def _is_image_name(name: str) -> bool:
    return name.lower().endswith((".bmp", ".dib"))


def _join(folder: str, relative: str) -> str:
    if is_url(folder):
        return folder.rstrip("/") + "/" + relative.replace(os.sep, "/")
    return os.path.join(folder, relative)


def plan_tree(src: str, dst: str, *, storage_options: Optional[Mapping[str, Any]] = None) -> Plan:
    """The files under the folder ``src`` whose names end in ``.bmp`` or
    ``.dib`` (any case), each paired with its place in the mirror under
    ``dst``, sorted. Symbolic links are not followed; an output folder inside
    the tree is not walked."""
    src, dst = _local(src), _local(dst)
    pairs: list[tuple[str, str]] = []
    links: list[str] = []
    if is_url(src):
        from fsspec.core import url_to_fs

        fs, root = url_to_fs(src, **dict(storage_options or {}))
        _, out_root = url_to_fs(dst, **dict(storage_options or {})) if is_url(dst) else (None, None)
        protocol = src[: src.index("://") + 3]
        root = root.rstrip("/")
        for path in sorted(fs.find(root)):
            relative = path[len(root) + 1:]
            inside_output = out_root is not None and (path + "/").startswith(out_root.rstrip("/") + "/")
            if _is_image_name(path) and not inside_output:
                pairs.append((protocol + path, _join(dst, relative)))
        return Plan(pairs, [], links)
    out_identity = _identity(dst)
    for folder, folders, files in os.walk(src):
        folders.sort()
        kept = []
        for name in folders:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                links.append(path)
            elif _identity(path) != out_identity:
                kept.append(name)
        folders[:] = kept
        for name in sorted(files):
            path = os.path.join(folder, name)
            if not _is_image_name(name):
                continue
            if os.path.islink(path):
                links.append(path)
            else:
                pairs.append((path, os.path.join(dst, os.path.relpath(path, src))))
    return Plan(pairs, [], sorted(links))


def _identity(path: str) -> Optional[tuple[int, int]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def plan(inputs: Sequence[str], output_dir: str, *, recursive: bool = False,
         storage_options: Optional[Mapping[str, Any]] = None) -> Plan:
    """The native program's rules for many inputs into ``output_dir``: a file
    goes to ``output_dir/NAME``, whatever its name; a folder is mirrored with
    ``recursive`` (see :func:`plan_tree`) and refused without it."""
    pairs: list[tuple[str, str]] = []
    refused: list[FileResult] = []
    links: list[str] = []
    for given in inputs:
        path = _local(given)
        if is_url(path):
            from fsspec.core import url_to_fs

            fs, inner = url_to_fs(path, **dict(storage_options or {}))
            folder = fs.isdir(inner)
        else:
            folder = os.path.isdir(path)
        if folder and recursive:
            found = plan_tree(path, output_dir, storage_options=storage_options)
            pairs += found.pairs
            links += found.links
        elif folder:
            refused.append(FileResult(path, output_dir, False, codes.OPEN_INPUT,
                                      "Is a folder (use -r to convert the files in it)"))
        else:
            name = posixpath.basename(path.rstrip("/")) if is_url(path) else os.path.basename(path)
            pairs.append((path, _join(_local(output_dir), name)))
    return Plan(pairs, refused, links)


class _Failed(Exception):
    """A step of an fsspec conversion failed: ``code`` says which."""

    def __init__(self, code: str, cause: BaseException) -> None:
        super().__init__(code, cause)
        self.code = code
        self.cause = cause


class _Tagged:
    """A file object whose read() or write() failures raise _Failed."""

    def __init__(self, file: Any, code: str) -> None:
        self._file = file
        self._code = code

    def read(self, size: int = -1) -> bytes:
        try:
            data: bytes = self._file.read(size)
        except Exception as error:
            raise _Failed(self._code, error) from error
        return data

    def write(self, data: Any) -> Optional[int]:
        try:
            written: Optional[int] = self._file.write(data)
        except Exception as error:
            raise _Failed(self._code, error) from error
        return written


def _status_message(code: str, cause: Optional[BaseException] = None) -> str:
    message = codes.message(code)
    if isinstance(cause, OSError) and cause.strerror:
        return f"{message} ({cause.strerror})"
    return f"{message} ({cause})" if cause is not None and str(cause) else message


def _convert_fsspec(src: str, dst: str, overwrite: bool, options: Mapping[str, Any], run: str) -> None:
    from fsspec.core import url_to_fs

    src_fs, src_path = url_to_fs(src, **options)
    dst_fs, dst_path = url_to_fs(dst, **options)
    parent, leaf = posixpath.split(dst_path)
    temporary = posixpath.join(parent, f".{leaf}.bmpvintage-{run}-{uuid.uuid4().hex[:8]}.tmp")
    if not overwrite and dst_fs.exists(dst_path):
        raise _Failed(codes.EXISTS, FileExistsError(17, os.strerror(17)))
    try:
        reader = src_fs.open(src_path, "rb")
    except Exception as error:
        raise _Failed(codes.OPEN_INPUT, error) from error
    with reader:
        try:
            if parent:
                dst_fs.makedirs(parent, exist_ok=True)
            writer = dst_fs.open(temporary, "wb")
        except Exception as error:
            raise _Failed(codes.OPEN_OUTPUT, error) from error
        try:
            with writer:
                tone_stream(_Tagged(reader, codes.READ), _Tagged(writer, codes.WRITE))
        except BMPVintageError as error:
            _remove(dst_fs, temporary)
            # A whole file that ends before its image is damaged, as the file call says.
            if error.code == codes.TRUNCATED:
                raise BMPVintageError(codes.NOT_VALID, codes.message(codes.NOT_VALID)) from error
            raise
        except BaseException as error:
            _remove(dst_fs, temporary)
            if isinstance(error, _Failed):
                raise
            raise _Failed(codes.WRITE, error) from error
    try:
        dst_fs.mv(temporary, dst_path)
    except Exception as error:
        raise _Failed(codes.WRITE, error) from error


def _remove(fs: Any, path: str) -> None:
    try:
        fs.rm(path)
    except Exception:
        pass  # never made, or the store is gone: the run's sweep looks again


def _convert(src: str, dst: str, overwrite: bool, options: Mapping[str, Any], run: str) -> FileResult:
    """One task: converts one file and says how it went; never raises for a
    file that cannot be converted."""
    try:
        if not is_url(src) and not is_url(dst):
            parent = os.path.dirname(dst)
            try:
                os.makedirs(parent, exist_ok=True)
            except OSError as error:
                raise BMPVintageFileError(codes.OPEN_OUTPUT, codes.message(codes.OPEN_OUTPUT), error.errno,
                                          dst) from error
            tone_file(src, dst, overwrite=overwrite)
        else:
            _convert_fsspec(src, dst, overwrite, options, run)
    except BMPVintageFileError as error:
        reason = f" ({os.strerror(error.errno)})" if error.errno else ""
        return FileResult(src, dst, False, error.code, error.message + reason)
    except BMPVintageError as error:
        return FileResult(src, dst, False, error.code, error.message)
    except _Failed as error:
        return FileResult(src, dst, False, error.code, _status_message(error.code, error.cause))
    return FileResult(src, dst, True, "OK", "")


def _sweep(folders: Sequence[str], run: str, options: Mapping[str, Any]) -> int:
    """Removes the temporary files of this run's lost conversions from the
    output folders: the core library's for local ones, the run's own keys for
    fsspec ones. Returns how many."""
    removed = 0
    own = re.compile(r"\..*\.bmpvintage-" + re.escape(run) + r"-[0-9a-f]{8}\.tmp")
    for folder in folders:
        try:
            if is_url(folder):
                from fsspec.core import url_to_fs

                fs, path = url_to_fs(folder, **options)
                for entry in fs.ls(path, detail=False):
                    if own.fullmatch(posixpath.basename(entry)):
                        fs.rm(entry)
                        removed += 1
            else:
                for name in os.listdir(folder):
                    if _CORE_TEMPORARY.fullmatch(name):
                        os.unlink(os.path.join(folder, name))
                        removed += 1
        except (OSError, FileNotFoundError):
            continue  # a folder never made, or a file already gone
    return removed


def _retries(keys: Sequence[str], dask_scheduler: Any = None) -> dict[str, int]:
    """On the scheduler: how often each task was running on a worker that died."""
    tasks = dask_scheduler.tasks
    return {key: tasks[key].suspicious for key in keys if key in tasks}


def tone_files(client: Any, pairs: Iterable[tuple[str, str]], *, overwrite: bool = True,
               storage_options: Optional[Mapping[str, Any]] = None,
               on_result: Optional[Callable[[FileResult], None]] = None) -> list[FileResult]:
    """Converts each (source, destination) pair on the workers of the
    ``distributed.Client`` ``client`` and returns their results, in the
    pairs' order. ``on_result`` is called with each result as it arrives (for
    a progress display). Missing output folders are made.

    With ``overwrite=False`` an existing output is refused
    (``ERR_BMP_OUTPUT_EXISTS``), also one that a task wrote before its worker was
    lost and Dask ran it again. Two pairs with one destination are refused
    (ValueError) before anything is converted."""
    from distributed import as_completed

    options = dict(storage_options or {})
    todo = [(_local(os.fspath(s)), _local(os.fspath(d))) for s, d in pairs]
    seen: dict[str, str] = {}
    for src, dst in todo:
        key = dst if is_url(dst) else os.path.normpath(dst)
        if key in seen:
            raise ValueError(f"{seen[key]} and {src} would both be written to {dst}")
        seen[key] = src
    if not todo:
        return []
    run = uuid.uuid4().hex[:12]
    keys = [f"bmpvintage-{run}-{i}" for i in range(len(todo))]
    futures = client.map(_convert, [s for s, _ in todo], [d for _, d in todo],
                         overwrite=overwrite, options=options, run=run, key=keys)
    index = {future.key: i for i, future in enumerate(futures)}
    results: list[Optional[FileResult]] = [None] * len(todo)
    try:
        for future, outcome in as_completed(futures, with_results=True, raise_errors=False):
            i = index[future.key]
            if not isinstance(outcome, FileResult):  # the task itself failed, e.g. KilledWorker
                src, dst = todo[i]
                outcome = FileResult(src, dst, False, codes.WRITE,
                                     f"Error writing output file ({type(outcome).__name__}: {outcome})")
            results[i] = outcome
            if on_result is not None:
                on_result(outcome)
        retries = client.run_on_scheduler(_retries, keys)
    finally:
        client.cancel(futures)
    folders = sorted({posixpath.dirname(d) if is_url(d) else os.path.dirname(d) for _, d in todo})
    client.submit(_sweep, folders, run, options, pure=False).result()
    done = [r for r in results if r is not None]
    return [replace(r, retries=retries.get(k, 0)) for r, k in zip(done, keys)]


def tone_tree(client: Any, src: str, dst: str, *, overwrite: bool = True,
              storage_options: Optional[Mapping[str, Any]] = None,
              on_result: Optional[Callable[[FileResult], None]] = None) -> list[FileResult]:
    """Mirrors the folder tree ``src`` into ``dst`` on the cluster: every
    ``.bmp`` and ``.dib`` file (any case) under ``src`` is converted to the
    same place under ``dst`` (see :func:`plan_tree`, which the cluster runs,
    so the tree need only be seen by the workers) and the results returned
    as :func:`tone_files` does."""
    found: Plan = client.submit(plan_tree, _local(src), _local(dst), storage_options=storage_options,
                                pure=False).result()
    return tone_files(client, found.pairs, overwrite=overwrite, storage_options=storage_options,
                      on_result=on_result)
