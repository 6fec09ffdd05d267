"""Batch runs in several processes stop cleanly: signals, a killed worker, a killed parent.

Each test starts ``quorlin order --jobs`` on a JSON Lines file in a session
of its own, waits until it is writing, interrupts it, and checks what is
left: the exit status a shell expects, no temporary file, no traceback, no
process of the session still alive.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from pkg_helpers import PACKAGE_PARENT, REALDATA

pytestmark = [pytest.mark.slow, pytest.mark.skipif(sys.platform != "linux", reason="signals and /proc as on Linux")]


@pytest.fixture(scope="module")
def big_batch(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("batch") / "pages.jsonl"
    path.write_bytes((REALDATA / "pages.jsonl").read_bytes() * 60)  # 12,000 pages: many seconds of work
    return path


def session_processes(session: int) -> list[int]:
    """The processes of a session still alive (zombies are dead)."""
    alive = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == session and fields[0] != "Z":
            alive.append(int(entry.name))
    return alive


def start(batch: Path, out: Path, jobs: int | None = 2) -> subprocess.Popen[bytes]:
    """The run, writing (and with its workers up); ``jobs`` None: in one process, without --jobs."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    process = subprocess.Popen([sys.executable, "-m", "quorlin", "order", str(batch),
                                *(["--jobs", str(jobs)] if jobs is not None else []), "-o", str(out)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:  # writing, and its workers are up
        temporary = [p for p in out.parent.iterdir() if p.name.startswith(f".{out.name}.")]
        if temporary and temporary[0].stat().st_size > 0 and len(session_processes(process.pid)) > (jobs or 0):
            return process
        time.sleep(0.05)
    process.kill()
    pytest.fail("the batch did not start writing within a minute")


def finish(process: subprocess.Popen[bytes], out: Path, status: int) -> str:
    """Wait for the end (at most two seconds), check what is left; the stderr text."""
    started = time.monotonic()
    try:
        _, err = process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        pytest.fail("the batch hung")
    took = time.monotonic() - started
    time.sleep(0.2)
    left = session_processes(process.pid)
    if left:
        os.killpg(process.pid, signal.SIGKILL)
    assert (process.returncode, left) == (status, [])
    assert took < 2.0
    assert sorted(p.name for p in out.parent.iterdir()) == [], "no output and no temporary file"
    text = err.decode()
    assert "Traceback" not in text and "Error" not in text.replace("error:", "")
    return text


@pytest.mark.parametrize(("signum", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)],
                         ids=["ctrl-c", "sigterm", "sighup"])
@pytest.mark.parametrize("to", ["group", "parent"])
@pytest.mark.parametrize("jobs", [2, None], ids=["jobs", "one-process"])
def test_signal_ends_a_run_at_once_and_leaves_nothing(tmp_path, big_batch, signum, status, to, jobs):
    """Ctrl-C used to hang the parent in Pool.terminate; SIGTERM and SIGHUP left temporary
    files of tens of megabytes and BrokenPipeError tracebacks; in one process, SIGTERM and
    SIGHUP were taken for an internal error of the page being ordered, and the run went on."""
    out = tmp_path / "out" / "ordered.jsonl"
    out.parent.mkdir()
    process = start(big_batch, out, jobs)
    if to == "group":
        os.killpg(process.pid, signum)
    else:
        os.kill(process.pid, signum)
    assert finish(process, out, status) == ""


def test_a_killed_worker_is_an_error_naming_its_lines_not_a_hang(tmp_path, big_batch):
    """A worker killed as an out-of-memory killer would used to leave the parent waiting for ever."""
    out = tmp_path / "out" / "ordered.jsonl"
    out.parent.mkdir()
    process = start(big_batch, out)
    worker = next(pid for pid in session_processes(process.pid) if pid != process.pid)
    os.kill(worker, signal.SIGKILL)
    message = finish(process, out, 1)
    # found dead when its result is awaited, or when the next chunk is sent to it
    assert message.startswith((f"quorlin: error: a worker process died while ordering {big_batch}:",
                               f"quorlin: error: a worker process died before ordering {big_batch}:"))
    assert message.count("\n") == 1


def test_workers_die_with_their_parent(tmp_path, big_batch):
    """Workers whose parent was killed used to stay alive, waiting on a lock."""
    out = tmp_path / "out" / "ordered.jsonl"
    out.parent.mkdir()
    process = start(big_batch, out)
    os.kill(process.pid, signal.SIGKILL)
    process.communicate()
    deadline = time.monotonic() + 2
    while session_processes(process.pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert session_processes(process.pid) == []


@pytest.mark.parametrize("target_exists", [False, True])
def test_an_interrupt_just_after_the_temporary_file_is_made_leaves_nothing(tmp_path, monkeypatch, target_exists):
    """An interrupt that came between making the temporary file and knowing its
    name (inside the standard library's mkstemp) left it behind."""
    from quorlin import output

    target = tmp_path / "page.xml"
    if target_exists:
        target.write_bytes(b"old")
    real_open = os.open

    def open_then_interrupted(*args, **kwargs):
        real_open(*args, **kwargs)
        raise KeyboardInterrupt

    monkeypatch.setattr(output.os, "open", open_then_interrupted)
    with pytest.raises(KeyboardInterrupt):
        output.write_output(str(target), b"new")
    assert sorted(p.name for p in tmp_path.iterdir()) == (["page.xml"] if target_exists else [])
    assert not target_exists or target.read_bytes() == b"old"
