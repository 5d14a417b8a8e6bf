"""The installer worker end to end: a test process whose hidden window
stands in for the main window, the real download from a loopback server
through http_proxy, the real signature check on a fake setup program signed
for the test, and the fake setup run under a duplicated token."""
import ntpath
import re
import subprocess

import pytest

from conftest import BIN, WINE, fake_setup_settings, probe_output, run_wine, sign, unix_path, winpath

WORKING, STOPPING, STOPPED, INSTALLING, INSTALLED = "1", "2", "3", "4", "5"
PRODUCT_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1"


def delete_product_key():
    for view in ("/reg:32", "/reg:64"):
        subprocess.run([WINE, "reg", "delete", PRODUCT_KEY, "/f", view], capture_output=True, timeout=30)


@pytest.fixture(scope="module")
def signed_setup(tmp_path_factory, signing_identity):
    folder = tmp_path_factory.mktemp("setup")
    return sign(signing_identity, BIN / "fake_setup.exe", folder / "fake_setup.exe").read_bytes()


@pytest.fixture
def world(server, signed_setup, tmp_path):
    """Server, setup log, a clean registry and no setup file left over."""
    delete_product_key()
    setup_file = unix_path(probe_output(run_wine(BIN / "startup_probe.exe"))["SetupFileName"])
    setup_file.unlink(missing_ok=True)
    server.body = signed_setup
    log = tmp_path / "setup.log"

    def run(verb, *args, install_on="1", retry_wait_ms=300, extra=None):
        env = {
            "http_proxy": server.proxy,
            "QUELLOX_PROBE_RETRY_WAIT_MS": str(retry_wait_ms),
            "QUELLOX_FAKE_SETUP_LOG": winpath(log),
            "QUELLOX_FAKE_SETUP_INSTALL_ON": install_on,
        }
        env.update(extra or {})
        fake_setup_settings(env)
        return probe_output(run_wine(BIN / "worker_probe.exe", verb, *args, env=env, timeout=180))

    run.log = log
    run.setup_file = setup_file
    yield run
    delete_product_key()
    setup_file.unlink(missing_ok=True)


def setup_runs(log):
    return log.read_text(encoding="utf-8").splitlines() if log.exists() else []


def test_successful_installation(world, server):
    out = world("run", "/Campaign:spring")
    assert out["Notices"] == f"CLOSE:{INSTALLED}"
    assert out["FinalState"] == INSTALLED
    assert out["SetupFileSize"] == "-1"  # deleted
    campaign = out["Campaign"]
    assert campaign.startswith("spring-affiliate_31095-ab_afterinstall_")
    seconds = out["DownloadSeconds"]
    # The copy that ran, in its own protected folder, under the file's name.
    [line] = setup_runs(world.log)
    path, rest = line.split('" ', 1)
    assert re.fullmatch(r'"C:\\ProgramData\\QuelloxSetup-\{[0-9A-F-]{36}\}\\' +
                        re.escape(ntpath.basename(out["SetupFileName"])), path)
    assert rest == (f'/verysilent /execute /FromStubInstall /AutoCSOffer /DisplayOffers '
                    f'/showurl /urlparams:dt={seconds}&dc=Quellox_{campaign} /Campaign:"{campaign}"')
    assert len(server.requests) == 1


def test_hostile_campaign_adds_no_switch(world):
    out = world("run", '/Campaign:x" /DIR="C:\\evil', "/OpenWebPage:http://a b /LOG", install_on="always")
    assert out["FinalState"] == INSTALLED
    [line] = setup_runs(world.log)
    # The filter drops the backslash along with the quotes.
    assert "/DIR" not in line.replace('/Campaign:"x /DIR=C:evil-', "")
    assert line.count('"') == 6
    assert '/OpenWebPage:"http://a b /LOG"' in line


def test_setup_that_leaves_no_key_is_tried_again_from_the_first_byte(world, server):
    out = world("run", install_on="2", retry_wait_ms=1500)
    assert out["Notices"] == f"CLOSE:{INSTALLED}"
    # Installing through the wait after the first run, then a new attempt.
    assert out["States"].startswith(f"0,{WORKING},{INSTALLING},{WORKING},{INSTALLING},{INSTALLED}")
    assert len(setup_runs(world.log)) == 2
    assert len(server.requests) == 2
    assert "Range" not in server.requests[1]["headers"]
    assert out["SetupFileSize"] == "-1"


@pytest.mark.parametrize("exit_code, installed", [(1, False), (3010, True), (1641, True)],
                         ids=["failed", "restart-required", "restart-started"])
def test_a_setup_that_fails_is_not_an_installation_though_the_key_exists(world, server, exit_code, installed):
    # The key is there whatever the setup does, as on a reinstall or an
    # upgrade; a setup that asks for a restart has installed.
    out = world("run", install_on="always", extra={"QUELLOX_FAKE_SETUP_EXIT_CODE": str(exit_code)})
    if installed:
        assert out["Notices"] == f"CLOSE:{INSTALLED}"
        assert len(setup_runs(world.log)) == 1
    else:
        assert out["Notices"] == f"QUERYENDSESSION:{STOPPED},CLOSE:{STOPPED}"
        assert len(setup_runs(world.log)) == 5


def test_five_failed_downloads_end_with_failure_notice_and_close(world, server):
    server.plan = [{"force_status": 500}]
    out = world("run")
    assert out["Notices"] == f"QUERYENDSESSION:{STOPPED},CLOSE:{STOPPED}"
    assert out["FinalState"] == STOPPED
    assert len(server.requests) == 5
    assert setup_runs(world.log) == []


def test_unsigned_download_is_discarded_and_never_run(world, server):
    server.body = (BIN / "fake_setup.exe").read_bytes()
    out = world("run")
    assert out["Notices"] == f"QUERYENDSESSION:{STOPPED},CLOSE:{STOPPED}"
    assert len(server.requests) == 5
    assert all("Range" not in request["headers"] for request in server.requests)
    assert setup_runs(world.log) == []
    assert out["SetupFileSize"] == "-1"


def test_pause_and_resume_continue_with_a_byte_range(world, server):
    server.plan = [{"delay": 0.005}, {}]
    out = world("pause-resume", install_on="always")
    paused = int(out["PausedBytes"])
    assert 0 < paused < len(server.body)
    assert out["ResumeStarted"] == "1"
    assert out["Notices"] == f"CLOSE:{INSTALLED}"
    assert f"{STOPPING},{STOPPED},{WORKING}" in out["States"]
    assert server.requests[1]["headers"]["Range"] == f"bytes={paused}-"
    assert len(setup_runs(world.log)) == 1


def test_stop_during_the_wait_ends_the_worker_without_another_attempt(world, server):
    server.plan = [{"force_status": 500}]
    out = world("stop-in-wait", retry_wait_ms=20000, extra={"QUELLOX_PROBE_STOP_AFTER_MS": "1500"})
    assert out["Notices"] == ""
    assert out["FinalState"] == STOPPED
    assert len(server.requests) == 1
    assert int(out["StopLatencyMs"]) < 20000


def test_done_while_working_stops_the_worker_and_keeps_the_file(world, server):
    server.plan = [{"delay": 0.005}]
    out = world("done-working")
    assert out["StateAfterDone"] == STOPPED
    assert out["Notices"] == ""
    assert 0 < int(out["BytesAfterDone"]) < len(server.body)
    assert int(out["SetupFileSize"]) == int(out["BytesAfterDone"])
    assert setup_runs(world.log) == []


def test_done_while_installing_returns_at_once_and_leaves_the_setup_running(world):
    out = world("done-installing", install_on="always", extra={"QUELLOX_FAKE_SETUP_SLEEP_MS": "3000"})
    assert out["StateAfterDone"] == INSTALLING
    assert int(out["DoneMs"]) < 3000
    assert out["Notices"] == f"CLOSE:{INSTALLED}"
    assert len(setup_runs(world.log)) == 1


def test_start_is_refused_in_every_state_but_idle_and_stopped(world, server):
    server.plan = [{"force_status": 500}]
    out = world("start-states")
    for state in ("Working", "Stopping", "Installing", "Installed"):
        assert out[f"Start.{state}"] == "0"
        assert out[f"Unchanged.{state}"] == "1"
    assert out["Started"] == "1"  # from Stopped
    assert out["Notices"] == f"QUERYENDSESSION:{STOPPED},CLOSE:{STOPPED}"
