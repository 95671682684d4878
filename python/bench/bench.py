"""Speed of the Python package (a benchmark, not a test):

    BMPVINTAGE=build/demo/bmpvintage python python/bench/bench.py [FILES]

1. bmpvintage.tone() and tone_into() on a 48 MiB 24-bit BMP in memory, beside
   the native program converting the same file (file to file, through the
   page cache), as GB/s of the best of five runs.
2. A Dask cluster on 127.0.0.1 (a scheduler and one, then two, worker
   processes of one thread each) converting FILES 24-bit files of 512x512
   (default 400), as files per second, the workers started before the clock
   (BENCH_MEMORY=0 runs this part alone).
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import bmpvintage
from bmpvintage.dask import tone_files


def bmp24(width: int, height: int) -> bytes:
    size = (width * 3 + 3) // 4 * 4 * height
    header = (b"BM" + (54 + size).to_bytes(4, "little") + bytes(4) + (54).to_bytes(4, "little")
              + (40).to_bytes(4, "little") + width.to_bytes(4, "little") + height.to_bytes(4, "little")
              + (1).to_bytes(2, "little") + (24).to_bytes(2, "little") + bytes(24))
    return header + os.urandom(size)


def best(call, runs: int = 5) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def memory(folder: Path, native: str) -> None:
    data = bmp24(4096, 4096)  # 48 MiB of pixels
    (folder / "in.bmp").write_bytes(data)
    buffer = bytearray(data)
    gb = len(data) / 1e9
    rows = [("bmpvintage.tone", best(lambda: bmpvintage.tone(data))),
            ("bmpvintage.tone_into", best(lambda: bmpvintage.tone_into(buffer))),
            ("bmpvintage.tone_file", best(lambda: bmpvintage.tone_file(folder / "in.bmp", folder / "out.bmp"))),
            ("native program", best(lambda: subprocess.run([native, folder / "in.bmp", folder / "out.bmp"],
                                                             check=True)))]
    for name, seconds in rows:
        print(f"{name:24} {seconds * 1e3:8.1f} ms  {gb / seconds:6.2f} GB/s")


def cluster(folder: Path, files: int) -> None:
    from distributed import Client

    for n in range(files):
        (folder / f"{n:05}.bmp").write_bytes(bmp24(512, 512))
    dask = [sys.executable, "-m", "dask"]
    local = ["--host", "127.0.0.1", "--no-dashboard"]
    for workers in (1, 2):
        # New outputs each time (replacing a file syncs it first).
        pairs = [(str(folder / f"{n:05}.bmp"), str(folder / f"out{workers}" / f"{n:05}.bmp"))
                 for n in range(files)]
        address = folder / f"scheduler-{workers}.json"
        processes = [subprocess.Popen(dask + ["scheduler", "--scheduler-file", str(address), "--port", "0",
                                              *local], stderr=subprocess.DEVNULL)]
        try:
            while not address.exists():
                time.sleep(0.1)
            processes += [subprocess.Popen(dask + ["worker", "--scheduler-file", str(address), "--nthreads", "1",
                                                   "--no-nanny", *local], stderr=subprocess.DEVNULL)
                          for _ in range(workers)]
            with Client(scheduler_file=str(address)) as client:
                client.wait_for_workers(workers)
                start = time.perf_counter()
                results = tone_files(client, pairs)
                seconds = time.perf_counter() - start
            assert all(r.converted for r in results)
            print(f"cluster, {workers} worker process{'es' if workers > 1 else ''}: {files} files "
                  f"in {seconds:.2f} s, {files / seconds:.0f} files/s")
        finally:
            for process in processes:
                process.kill()
                process.wait()


def main() -> None:
    native = os.environ.get("BMPVINTAGE", "build/demo/bmpvintage")
    files = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    if os.environ.get("BENCH_MEMORY", "1") == "1":
        with tempfile.TemporaryDirectory() as folder:
            memory(Path(folder), native)
    with tempfile.TemporaryDirectory() as folder:
        cluster(Path(folder), files)


if __name__ == "__main__":
    main()
