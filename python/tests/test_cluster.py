"""python -m bmpvintage.cluster over real Dask schedulers and workers, on
127.0.0.1 only: a tree of every BMP kind plus two large files, one worker
killed with SIGKILL partway; TLS with fsspec URLs; a local cluster."""

import csv
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from distributed import Client
from distributed.security import Security

from conftest import bmp_header

DASK = [sys.executable, "-m", "dask"]
LOCAL = ["--host", "127.0.0.1", "--no-dashboard"]


def large_bmp(path: Path, width: int, height: int, bits: int) -> None:
    header, size = bmp_header(width, height, bits)
    path.write_bytes(header + os.urandom(1 << 20) * (size >> 20) + bytes(size & 0xFFFFF))


@pytest.fixture(scope="module")
def tree(kinds, native, tmp_path_factory):
    """The source tree, and the native program's mirror of it and its failures."""
    root = tmp_path_factory.mktemp("cluster")
    for sub in ("a", "b/c"):
        (root / "src" / sub).mkdir(parents=True)
        for kind in kinds:
            shutil.copyfile(kind, root / "src" / sub / kind.name)
    large_bmp(root / "src/b/large-24.bmp", 6000, 4000, 24)
    large_bmp(root / "src/b/c/large-32.BMP", 4000, 3000, 32)
    run = subprocess.run([native, "-r", "--output-dir", root / "native", root / "src"],
                         capture_output=True, text=True)
    failed = {str(Path(line.split(": ")[1]).relative_to(root / "src")): line.split(": ")[-1]
              for line in run.stderr.splitlines()}
    return root, failed


def start(command, log: Path) -> subprocess.Popen:
    return subprocess.Popen(command, stdout=log.open("w"), stderr=subprocess.STDOUT, cwd=log.parent)


def tls_options(folder: Path) -> list[str]:
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", folder / "key.pem", "-out", folder / "cert.pem"],
                   check=True, capture_output=True)
    return ["--tls-ca-file", str(folder / "cert.pem"), "--tls-cert", str(folder / "cert.pem"),
            "--tls-key", str(folder / "key.pem")]


CASES = {
    "tcp, a worker killed": dict(sub="", tls=False, url=False, cluster=True),
    "tls, fsspec URLs": dict(sub="a", tls=True, url=True, cluster=True),
    "local cluster": dict(sub="b", tls=False, url=False, cluster=False),
}


@pytest.mark.parametrize("case", CASES)
def test_the_cluster_command_gives_the_native_bytes_once_each(tree, tmp_path, case):
    root, native_failed = tree
    sub, tls, url, cluster = CASES[case].values()
    src, dst = root / "src" / sub, tmp_path / "out"
    security = tls_options(tmp_path) if tls else []
    command = [sys.executable, "-m", "bmpvintage.cluster", "-r", "--report", str(tmp_path / "report.csv"),
               "--output-dir", f"file://{dst}" if url else str(dst), f"file://{src}" if url else str(src)]
    mine = dst / ("a" if sub == "" else "") / "notes.tmp"  # in a folder the run writes to
    if not url:  # there, a temporary file a lost worker left, and a file of the user's
        mine.parent.mkdir(parents=True)
        (mine.parent / ".bmpvintage-0123456789ab.tmp").write_bytes(b"half")
        mine.write_bytes(b"mine")
    processes = []
    try:
        if cluster:
            address = tmp_path / "scheduler.json"
            processes.append(start(DASK + ["scheduler", "--scheduler-file", str(address), "--port", "0",
                                           *(["--protocol", "tls"] if tls else []), *LOCAL, *security],
                                   tmp_path / "scheduler.log"))
            for n in range(2):
                processes.append(start(DASK + ["worker", "--scheduler-file", str(address), "--nthreads", "2",
                                               "--no-nanny", *LOCAL, *security], tmp_path / f"worker{n}.log"))
            for _ in range(300):
                if address.exists():
                    break
                time.sleep(0.1)
            names = ("tls_ca_file", "tls_client_cert", "tls_client_key")
            tls_security = Security(**dict(zip(names, security[1::2])), require_encryption=True) if tls else None
            with Client(scheduler_file=str(address), security=tls_security) as client:
                client.wait_for_workers(2, timeout=60)
                scheduler = client.scheduler.address
            if tls:  # the other side: no TLS, no conversion
                quick = dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="3s")
                plain = subprocess.run(command + ["--scheduler", scheduler], capture_output=True, env=quick)
                assert plain.returncode != 0 and not dst.exists()
            command += ["--scheduler", scheduler, *security]
        else:
            command += ["--workers", "1"]
        conversion = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if case == "tcp, a worker killed":
            while conversion.poll() is None and sum(1 for _ in dst.rglob("*.bmp")) < 40:
                time.sleep(0.01)
            processes[1].send_signal(signal.SIGKILL)
        out, err = conversion.communicate(timeout=180)
    finally:
        for process in processes:
            process.kill()
            process.wait()
    with (tmp_path / "report.csv").open() as f:
        report = list(csv.DictReader(f))
    sources = [r["source"].removeprefix("file://") for r in report]
    expected = sorted(str(p) for p in src.rglob("*") if p.name.lower().endswith((".bmp", ".dib")))
    assert sorted(sources) == expected  # each file once
    failures = {str(Path(r["source"].removeprefix("file://")).relative_to(root / "src")): r["message"]
                for r in report if r["code"] != "OK"}
    assert failures == {k: v for k, v in native_failed.items() if k.startswith(sub)}
    assert out.splitlines()[0] == f"{len(expected)} files: {len(expected) - len(failures)} converted, {len(failures)} failed"
    assert conversion.returncode == 1, err
    native = root / "native" / sub
    written = sorted(p.relative_to(dst) for p in dst.rglob("*") if p.is_file())
    mirror = [p.relative_to(native) for p in native.rglob("*") if p.is_file()]
    assert written == sorted(mirror + ([mine.relative_to(dst)] if not url else []))  # no temporary file
    for path in mirror:
        assert (dst / path).read_bytes() == (native / path).read_bytes(), path
    print(case, out, file=sys.stderr)

