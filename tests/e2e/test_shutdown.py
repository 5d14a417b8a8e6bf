"""The edges of a run's life: a stop racing the worker's end, commands that
arrive when they no longer apply, a question left open while the run ends,
and the process ending while a worker still runs."""
import os
import time

from conftest import BIN, probe_output, run_wine, unix_path
from test_window import CLASS, inspect, listing, wait_until


def downloads(server):
    return [r for r in server.requests if r["method"] == "GET"]


def window_gone():
    return inspect("list", CLASS, "0").returncode == 2


def test_done_racing_the_end_of_a_failing_worker_never_hangs():
    # Each round lands Done's stop at another place of the worker's life,
    # its end included, twice over; a round that hangs ends the probe
    # through its watchdog (exit code 3).
    result = run_wine(BIN / "end_race_probe.exe", "200", timeout=300)
    out = probe_output(result)
    assert out["Rounds"] == "200"
    # Both outcomes were reached: stops that came first, and failures that
    # came first.
    assert int(out["Stopped"]) > 0 and int(out["Failed"]) > 0


def test_install_command_on_the_progress_page_is_ignored(run, server):
    server.plan = [{"delay": 0.005}]
    installer = run().start("/SkipStart")
    listing()
    wait_until(lambda: downloads(server), what="the download")
    inspect("command", CLASS, "101", "0")  # BN_CLICKED, as from another process
    time.sleep(1)
    assert installer.process.poll() is None
    _, children = listing()
    assert len([c for c in children if c["class"] == "msctls_progress32"]) == 1
    assert installer.wait() == 0
    assert installer.events() == ["install_start", "install_finish"]
    assert len(downloads(server)) == 1


def test_cancel_question_left_open_while_the_run_fails(run, server):
    # The download's server fails; the collector answers.
    server.plan, server.post_plan = [{"force_status": 500}], [{}]
    installer = run("QuelloxSetupShortWait.exe").start("/SkipStart")
    listing()
    wait_until(lambda: downloads(server), what="the first download")
    inspect("command", CLASS, "202")
    assert inspect("list", "#32770", "20000").returncode == 0  # the question is open
    wait_until(lambda: len(downloads(server)) == 5, what="the fifth attempt")
    wait_until(window_gone, what="the window to close")
    # Yes, if the question is still there to answer.
    inspect("answer", "class:#32770", "6", "1000")
    assert installer.wait(timeout=60) == 0
    time.sleep(1)
    assert installer.events() == ["install_start", "install_cancel"]
    assert len(downloads(server)) == 5  # none after the window closed
    # Nor a worker started: its first act creates the setup file, which the
    # failed attempts have deleted.
    assert not installer.setup_file.exists()


def test_process_ends_cleanly_while_a_worker_downloads(run, server, monkeypatch):
    # The setup program leaves no product behind, so the worker waits in
    # Installing, where a close does not stop it; the analytics collector
    # holds the close long enough for the worker to start its next download,
    # a long one at full speed. The process ends in the middle of it.
    server.post_plan = [{}, {"hang": 3}]
    monkeypatch.setenv("QUELLOX_FAKE_SETUP_SLEEP_MS", "1500")
    installer = run("QuelloxSetupShortWait.exe")
    installer.start("/SkipStart", install_on="9")
    listing()
    wait_until(lambda: installer.setup_runs(), what="the setup run")
    server.body = os.urandom(128 * 1024 * 1024)
    assert inspect("close", CLASS).returncode == 0
    wait_until(lambda: len(downloads(server)) == 2, what="the next download", timeout=20)
    assert installer.wait(timeout=60) == 0


def test_a_resume_racing_the_end_of_a_failing_worker_starts_nothing():
    # Each round lands a resume at another place of a failing worker's life.
    # One that lands after the worker has shown Stopped, while it is still
    # to send its failure notice and close request, must start nothing: the
    # close would stop the new worker and the exit would wait for it alone.
    out = probe_output(run_wine(BIN / "end_race_probe.exe", "200", "resume", timeout=300))
    assert out["Rounds"] == "200"
    assert out["ResumedWhileEnding"] == "0"
    assert out["Failed"] == "200"


def test_a_second_press_while_the_pause_is_ending_resumes(run, server):
    # One piece of 512 bytes a second: a stop used to wait for the next piece.
    server.plan = [{"delay": 1.0}]
    installer = run().start("/SkipStart")
    listing()
    wait_until(lambda: downloads(server), what="the download")
    time.sleep(1.5)
    inspect("command", CLASS, "201")
    inspect("command", CLASS, "201")
    wait_until(lambda: len(downloads(server)) == 2, what="the resumed download")
    assert "Range" in downloads(server)[1]["headers"]
    assert inspect("close", CLASS).returncode == 0
    assert installer.wait(timeout=60) == 0
    assert installer.events() == ["install_start", "install_pause", "install_resume", "install_cancel"]


def test_a_close_while_the_download_is_copied_ends_the_run_at_once(run, server):
    # The largest download taken, 1 GiB, all but its last byte kept on disk
    # (sparse); the server sends that byte. Its copy into the run folder is
    # what the close lands in.
    size = 1024**3
    installer = run()
    server.plan = [{"force_status": 500}]
    run_wine(BIN / "installer_probe.exe", "download", env={"http_proxy": server.proxy})  # makes the folder
    with open(installer.setup_file, "wb") as f:
        f.truncate(size - 1)
    server.plan = [{"force_status": 206, "force_body": b"x",
                    "headers": {"Content-Range": "bytes %d-%d/%d" % (size - 1, size - 1, size)}}]
    server.requests.clear()
    installer.start("/SkipStart")
    listing()
    program_data = unix_path("C:\\ProgramData")

    def copying():
        return [p for p in program_data.glob("QuelloxSetup-{*}/*.exe") if p.stat().st_size > 0]

    wait_until(copying, what="the copy", timeout=60)
    closed = time.monotonic()
    assert inspect("close", CLASS).returncode == 0
    assert installer.wait(timeout=120) == 0
    # The stop is seen within one piece of the copy; the rest is the cancel
    # event and Wine's own exit, or, where the copy of the sparse file ended
    # before the close arrived, the rest of its check (which cannot be
    # stopped). A copy that ran on to its end and then checked the whole file
    # took 9.5 s here; the bound leaves room for a loaded machine.
    assert time.monotonic() - closed < 6
    assert installer.events() == ["install_start", "install_cancel"]
    # A close keeps the download, whole, for the next run.
    assert installer.setup_file.stat().st_size == size
