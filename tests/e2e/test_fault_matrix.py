"""Failing servers against the whole installer under Wine: for each fault,
the outcome, that nothing unverified runs, that no partial file is left
(except after a pause), and that the program ends within a bound.

The runs use the installer with short waits (QuelloxSetupShortWait: 300 ms
between attempts, 2 s transfer time-outs, 2 s analytics drain); with the
program's own constants the same run ends within 5 x 60 s of time-outs,
4 x 60 s of waiting, and 120 s + 10 s for the analytics queue."""
import socket
import time
import urllib.parse

import pytest

from conftest import NETWORK_PATH, TOOL_BIN, not_emulated, scaled, unix_path, probe_output, run_wine

# Five attempts of at most two 2 s time-outs each, four 300 ms waits, the
# 2 s drain and one 10 s analytics attempt, with room for Wine.
BOUND = 60


def flipped(data):
    data = bytearray(data)
    data[len(data) // 2] ^= 0x40
    return bytes(data)


DOWNLOAD_FAULTS = {
    "reset-mid-body": {"cut_after": 20000},
    "stalled-body": {"stall_after": 20000, "stall": 30},
    "5xx": {"force_status": 503},
    "416": {"force_status": 416},
    "length-longer-than-body": {"declared_extra": 5000},
    "length-shorter-than-body": {"declared_less": 5000},
    "tampered-body": {"tamper": True},
}


# A tampered download, refused by the trust check, is in the shipped file's set.
@pytest.mark.parametrize("fault", [pytest.param(f, marks=[pytest.mark.shipped, not_emulated(NETWORK_PATH)]) if f == "tampered-body" else f
                                   for f in sorted(DOWNLOAD_FAULTS)])
def test_download_fault_fails_every_attempt_and_runs_nothing(run, server, fault):
    plan = dict(DOWNLOAD_FAULTS[fault])
    if plan.pop("tamper", False):
        server.body = flipped(server.body)
    if "declared_extra" in plan:
        plan["declared"] = len(server.body) + plan.pop("declared_extra")
    if "declared_less" in plan:
        plan["declared"] = len(server.body) - plan.pop("declared_less")
    server.plan = [plan]
    server.post_plan = [{}]
    started = time.monotonic()
    installer = run("QuelloxSetupShortWait.exe").start("/SkipStart")
    assert installer.wait(timeout=BOUND * 3) == 0
    assert time.monotonic() - started < scaled(BOUND)
    assert len([r for r in server.requests if r["method"] == "GET"]) == 5
    assert installer.setup_runs() == []
    assert not installer.setup_file.exists()
    assert installer.events() == ["install_start", "install_cancel"]


def test_download_server_refusing_connections(run):
    with socket.socket() as probe_socket:
        probe_socket.bind(("127.0.0.1", 0))
        port = probe_socket.getsockname()[1]
    installer = run("QuelloxSetupShortWait.exe")
    installer.server = type("Closed", (), {"proxy": "http://127.0.0.1:%d" % port})()
    started = time.monotonic()
    installer.start("/SkipStart")
    assert installer.wait(timeout=BOUND * 3) == 0
    assert time.monotonic() - started < scaled(BOUND)
    assert installer.setup_runs() == []
    assert not installer.setup_file.exists()


@pytest.mark.parametrize("fault", [{"drop": True}, {"force_status": 500}, {"hang": 60}],
                         ids=["refused", "500", "never-answers"])
def test_analytics_fault_does_not_stop_the_installation(run, server, fault):
    server.post_plan = [fault]
    started = time.monotonic()
    installer = run("QuelloxSetupShortWait.exe").start("/SkipStart")
    assert installer.wait(timeout=BOUND * 3) == 0
    assert time.monotonic() - started < scaled(BOUND)
    assert len(installer.setup_runs()) == 1
    assert not installer.setup_file.exists()


@pytest.mark.shipped
@not_emulated(NETWORK_PATH)
def test_partial_file_is_kept_only_after_a_pause_and_the_next_run_continues_it(run, server):
    server.plan = [{"delay": 0.01}]
    installer = run().start("/SkipStart")
    deadline = time.monotonic() + scaled(30)
    while not installer.setup_file.exists() or installer.setup_file.stat().st_size < 10000:
        assert time.monotonic() < deadline, "the download did not start"
        time.sleep(0.05)
    run_wine(TOOL_BIN / "wininspect.exe", "command", "QuelloxStubInstaller", "201")
    time.sleep(0.5)
    run_wine(TOOL_BIN / "wininspect.exe", "command", "QuelloxStubInstaller", "202")
    assert run_wine(TOOL_BIN / "wininspect.exe", "answer", "class:#32770", "7", str(int(scaled(20000)))).returncode == 0
    assert installer.wait(timeout=BOUND) == 0
    kept = installer.setup_file.stat().st_size
    assert 10000 <= kept < len(server.body)
    assert installer.setup_file.read_bytes() == server.body[:kept]
    assert installer.setup_runs() == []

    # The next run asks only for the rest, and runs the whole file.
    server.plan = [{}]
    asked = len(server.requests)
    following = run().start("/SkipStart")
    assert following.wait() == 0
    [download] = [r for r in server.requests[asked:] if r["method"] == "GET"]
    assert download["headers"]["Range"] == "bytes=%d-" % kept
    assert len(following.setup_runs()) == 1
    events = [urllib.parse.parse_qs(r["body"].decode("ascii"))["ea"][0] for r in server.requests[asked:]
              if r["method"] == "POST"]
    assert events == ["install_start", "install_finish"]
