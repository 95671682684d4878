"""bmpvintage.dask's own rules, without a cluster where none is needed."""

import os

import pytest
from distributed import Client

import bmpvintage
from bmpvintage import cluster
from bmpvintage.dask import _convert, plan, tone_files
from conftest import ROOT

SAMPLE = (ROOT / "samples/sample.bmp").read_bytes()


def test_plan_mirrors_files_skips_links_and_the_output_folder_and_refuses_folders_without_r(tmp_path):
    for name in ("src/a.BMP", "src/sub/b.dib", "src/out/old.bmp", "src/notes.txt", "c.bmp"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(SAMPLE)
    os.symlink(tmp_path / "c.bmp", tmp_path / "src/link.bmp")
    src, out = str(tmp_path / "src"), str(tmp_path / "src/out")
    found = plan([src, str(tmp_path / "c.bmp")], out, recursive=True)
    assert found.pairs == [(f"{src}/a.BMP", f"{out}/a.BMP"), (f"{src}/sub/b.dib", f"{out}/sub/b.dib"),
                           (str(tmp_path / "c.bmp"), f"{out}/c.bmp")]
    assert found.links == [f"{src}/link.bmp"] and not found.refused
    assert [r.code for r in plan([src], out).refused] == ["ERR_BMP_OPEN_INPUT_FAILED"]


@pytest.mark.parametrize("src,dst,code", [
    ("missing.bmp", "a.bmp", "ERR_BMP_OPEN_INPUT_FAILED"),
    ("in.bmp", "in.bmp/a.bmp", "ERR_BMP_OPEN_OUTPUT_FAILED"),
    ("file://{}/missing.bmp", "file://{}/a.bmp", "ERR_BMP_OPEN_INPUT_FAILED"),
    ("file://{}/in.bmp", "file://{}/in.bmp/a.bmp", "ERR_BMP_OPEN_OUTPUT_FAILED"),
    ("file://{}/cut.bmp", "file://{}/a.bmp", "ERR_BMP_NOT_VALID"),
    ("file://{}/in.bmp", "file://{}/in.bmp", "ERR_BMP_OUTPUT_EXISTS"),
    ("file://{}/in.bmp", "file://{}/out/a.bmp", "OK"),
])
def test_a_task_reports_each_failure_with_the_core_code_and_leaves_no_temporary_file(tmp_path, src, dst, code):
    (tmp_path / "in.bmp").write_bytes(SAMPLE)
    (tmp_path / "cut.bmp").write_bytes(SAMPLE[:-5])
    before = set(tmp_path.iterdir())
    path = lambda p: p.format(tmp_path) if "://" in p else str(tmp_path / p)
    result = _convert(path(src), path(dst), False, {}, "run")
    assert result.code == code and result.converted == (code == "OK"), result.message
    assert set(tmp_path.iterdir()) - before == ({tmp_path / "out"} if code == "OK" else set())
    if code == "OK":
        assert (tmp_path / "out/a.bmp").read_bytes() == bmpvintage.tone(SAMPLE)


def test_tone_files_refuses_two_sources_for_one_output_and_reports_a_failed_task(tmp_path):
    with pytest.raises(ValueError):
        tone_files(None, [("a.bmp", str(tmp_path / "x.bmp")), ("b.bmp", str(tmp_path / "y/../x.bmp"))])
    with Client(processes=False, n_workers=1, dashboard_address=None) as client:
        results = tone_files(client, [("nosuchprotocol://a.bmp", f"file://{tmp_path}/a.bmp")])
    assert [(r.converted, r.code) for r in results] == [(False, "ERR_BMP_WRITE_FAILED")]


@pytest.mark.parametrize("argv", [["--tls-cert", "c.pem"], ["--scheduler", "tcp://127.0.0.1:1", "--workers", "2"]])
def test_the_command_refuses_options_that_do_not_go_together(argv):
    with pytest.raises(SystemExit) as exited:
        cluster.main(argv + ["--output-dir", "out", "in.bmp"])
    assert exited.value.code == 2
