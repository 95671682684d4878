"""python -m bmpvintage.cluster: tones many files on a Dask cluster.

    python -m bmpvintage.cluster --scheduler tcp://HOST:8786 -r SRC --output-dir DST
    python -m bmpvintage.cluster -r SRC --output-dir DST        # a local cluster

Like ``bmpvintage --output-dir DST [-r] INPUT...``: a file goes to DST/NAME;
with -r a folder's tree is mirrored under DST. Without --scheduler a cluster
of worker processes is started on this machine (127.0.0.1 only). Failures
are printed as ``bmpvintage: FILE: reason``, a progress bar on a terminal,
and a summary at the end. Exit status: 0 every file converted, 1 a file was
not, 2 the command line is wrong.
"""

from __future__ import annotations

import argparse
import csv
import sys
from typing import Any, Optional, Sequence, TextIO

from . import dask as bdask


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m bmpvintage.cluster",
        description="Tone BMP files on a Dask cluster, mirrored into an output folder.")
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="BMP files, or folders with -r (local paths the workers see, or fsspec URLs)")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="convert the .bmp and .dib files of folders, mirrored under the output folder")
    p.add_argument("--output-dir", required=True, metavar="DIR", help="where the toned files go")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="the Dask scheduler (tcp://HOST:8786, tls://HOST:8786); "
                        "without it a local cluster is started")
    p.add_argument("--workers", type=int, metavar="N",
                   help="worker processes of the local cluster (default: one per core)")
    p.add_argument("--no-clobber", action="store_true", help="refuse outputs that exist")
    p.add_argument("--report", metavar="FILE",
                   help="write one CSV line per file: source, destination, code, message, retries")
    tls = p.add_argument_group("TLS (for a scheduler started with the same options)")
    tls.add_argument("--tls-ca-file", metavar="PEM", help="the certificate authority to trust")
    tls.add_argument("--tls-cert", metavar="PEM", help="this client's certificate")
    tls.add_argument("--tls-key", metavar="PEM", help="this client's private key")
    return p


class _Progress:
    """A one-line bar on a terminal; nothing elsewhere."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.shown = stream.isatty()

    def step(self, result: bdask.FileResult) -> None:
        self.done += 1
        if not result.converted:
            self.clear()
            print(f"bmpvintage: {result.about}: {result.message}", file=self.stream)
        if self.shown:
            width = 30
            filled = width * self.done // max(self.total, 1)
            self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                              f"{self.done} of {self.total} files done")
            self.stream.flush()

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")


def summary(results: Sequence[bdask.FileResult], links: int) -> str:
    """``6 files: 4 converted, 2 failed, 1 link not followed``, as the
    native program says it."""
    total = len(results)
    failed = sum(not r.converted for r in results)
    text = f"{total} {'file' if total == 1 else 'files'}: {total - failed} converted, {failed} failed"
    if links:
        text += f", {links} {'link' if links == 1 else 'links'} not followed"
    return text


def _client(args: argparse.Namespace) -> tuple[Any, Optional[Any]]:
    from distributed import Client, LocalCluster

    if args.scheduler is None:
        cluster = LocalCluster(n_workers=args.workers, host="127.0.0.1", dashboard_address=None,
                               processes=True)
        return Client(cluster), cluster
    security = None
    if args.tls_ca_file or args.tls_cert or args.tls_key:
        from distributed.security import Security

        security = Security(tls_ca_file=args.tls_ca_file, tls_client_cert=args.tls_cert,
                            tls_client_key=args.tls_key, require_encryption=True)
    return Client(args.scheduler, security=security), None


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    tls = args.tls_ca_file or args.tls_cert or args.tls_key
    if tls and args.scheduler is None:
        parser.error("--tls-ca-file, --tls-cert and --tls-key are for a --scheduler")
    if args.workers is not None and args.scheduler is not None:
        parser.error("--workers is for the local cluster, not a --scheduler")
    client, cluster = _client(args)
    try:
        found: bdask.Plan = client.submit(bdask.plan, args.inputs, args.output_dir,
                                          recursive=args.recursive, pure=False).result()
        for link in found.links:
            print(f"bmpvintage: {link}: Symbolic link not followed", file=sys.stderr)
        progress = _Progress(len(found.pairs) + len(found.refused), sys.stderr)
        for refusal in found.refused:
            progress.step(refusal)
        results = found.refused + bdask.tone_files(client, found.pairs, overwrite=not args.no_clobber,
                                                   on_result=progress.step)
        progress.clear()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    if args.report:
        with open(args.report, "w", newline="", encoding="utf-8") as f:
            out = csv.writer(f)
            out.writerow(["source", "destination", "code", "message", "retries"])
            for r in results:
                out.writerow([r.source, r.destination, r.code, r.message, r.retries])
    print(summary(results, len(found.links)))
    retried = sum(r.retries > 0 for r in results)
    if retried:
        print(f"{retried} {'file' if retried == 1 else 'files'} started again after a worker was lost")
    return 0 if all(r.converted for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
