"""The download of the setup program, run for real: the installer's download
code in the probe program, WinINet under Wine, and a loopback server reached
through http_proxy with the build's own addresses."""
import re

import pytest

from conftest import BIN, probe_output, run_wine, unix_path

BODY = bytes((i * 7 + i // 256) % 251 for i in range(102_400))  # 200 chunks of 512 bytes


@pytest.fixture(scope="module")
def setup_file():
    """The fixed setup file in the prefix's temporary folder, absent before
    and after each test."""
    settings = probe_output(run_wine(BIN / "startup_probe.exe"))
    return unix_path(settings["SetupFileName"])


@pytest.fixture
def fresh_setup_file(setup_file):
    setup_file.unlink(missing_ok=True)
    yield setup_file
    setup_file.unlink(missing_ok=True)


def download(server, attempts=1, stop_at=None, delete_between=False):
    env = {"http_proxy": server.proxy, "QUELLOX_PROBE_ATTEMPTS": str(attempts)}
    if stop_at is not None:
        env["QUELLOX_PROBE_STOP_AT"] = str(stop_at)
    if delete_between:
        env["QUELLOX_PROBE_DELETE_BETWEEN"] = "1"
    return probe_output(run_wine(BIN / "installer_probe.exe", "download", env=env, timeout=120))


def reports(text):
    """[(percent, bytes done)] of a Progress line."""
    return [tuple(map(int, item.split("@"))) for item in text.split(",")] if text else []


def assert_closed(out, attempt=1):
    assert out[f"Attempt{attempt}.HandlesClosed"] == "1"
    assert out[f"Attempt{attempt}.FileReleased"] == "1"


@pytest.mark.parametrize("status", [200, 203])
def test_fresh_download_without_range(server, fresh_setup_file, status):
    server.body = BODY
    server.plan = [{"status": status}]
    out = download(server)
    assert out["Attempt1.Result"] == "1"
    assert fresh_setup_file.read_bytes() == BODY
    assert out["Attempt1.TotalSize"] == str(len(BODY))
    assert "Range" not in server.requests[0]["headers"]
    # Wine names the port in a proxy request.
    assert server.requests[0]["url"].replace(":80/", "/", 1) == out["DownloadURL"]
    assert_closed(out)


def test_reports_each_new_percentage_once_rounded_half_to_even(server, fresh_setup_file):
    # Each 512-byte chunk of 102400 bytes is half a percent.
    server.body = BODY
    progress = reports(download(server)["Attempt1.Progress"])
    assert [percent for percent, _ in progress] == list(range(1, 101))
    chunks = {percent: done // 512 for percent, done in progress}
    assert chunks[1] == 2  # 0.5 % rounds to 0: nothing reported after the first chunk
    assert chunks[2] == 3  # 1.5 % rounds to 2
    assert chunks[3] == 6  # 2.5 % rounds to 2, so 3 waits for 3.0 %
    assert chunks[100] == 199  # 99.5 % rounds to the even 100


def test_partial_file_is_continued_with_a_range(server, fresh_setup_file):
    fresh_setup_file.write_bytes(BODY[:40_000])
    server.body = BODY
    out = download(server)
    assert server.requests[0]["headers"]["Range"] == "bytes=40000-"
    assert out["Attempt1.Result"] == "1"
    assert out["Attempt1.TotalSize"] == str(len(BODY))
    assert fresh_setup_file.read_bytes() == BODY
    # The first report is the first whole percentage reached after the resume.
    assert reports(out["Attempt1.Progress"])[0][0] == 40


def test_whole_body_for_a_ranged_request_starts_the_file_again(server, fresh_setup_file):
    fresh_setup_file.write_bytes(b"x" * 1000)
    server.body = BODY
    server.plan = [{"honour_range": False}]
    out = download(server)
    assert server.requests[0]["headers"]["Range"] == "bytes=1000-"
    assert out["Attempt1.Result"] == "1"
    assert out["Attempt1.TotalSize"] == str(len(BODY))
    assert fresh_setup_file.read_bytes() == BODY


def test_range_that_does_not_start_at_the_bytes_on_disk_is_not_appended(server, fresh_setup_file):
    fresh_setup_file.write_bytes(BODY[:500])
    server.body = BODY
    server.plan = [{"range_from_zero": True}]
    out = download(server)
    assert server.requests[0]["headers"]["Range"] == "bytes=500-"
    assert out["Attempt1.Result"] == "0"
    assert fresh_setup_file.read_bytes() == BODY[:500]
    assert_closed(out)


def test_reads_stop_at_the_announced_length(server, fresh_setup_file):
    # 1500 bytes behind a Content-Length of 1000: the 1000 are the file.
    server.body = BODY[:1500]
    server.plan = [{"declared": 1000}]
    out = download(server)
    assert out["Attempt1.Result"] == "1"
    assert out["Attempt1.BytesDone"] == "1000"
    assert fresh_setup_file.read_bytes() == BODY[:1000]
    assert_closed(out)


def test_complete_file_is_recognised_by_the_range_the_server_cannot_satisfy(server, fresh_setup_file):
    # A file kept whole by a pause: the range from its size is answered with
    # 416 and "bytes */<its size>".
    fresh_setup_file.write_bytes(BODY)
    server.body = BODY
    out = download(server)
    assert server.requests[0]["headers"]["Range"] == "bytes=%d-" % len(BODY)
    assert out["Attempt1.Result"] == "1"
    assert out["Attempt1.TotalSize"] == str(len(BODY))
    assert fresh_setup_file.read_bytes() == BODY
    assert_closed(out)


@pytest.mark.parametrize(
    "on_disk, plan",
    [
        (b"", {"no_length": True}),
        (b"", {"force_status": 500}),
        (b"", {"force_status": 404}),
        (BODY[:100], {"force_status": 416}),  # no Content-Range: not the file's size
        (BODY[:100], {"force_status": 416, "headers": {"Content-Range": "bytes */%d" % len(BODY)}}),
        (b"", {"declared": 1024**3 + 1}),
        (BODY[:100], {"force_status": 206, "headers": {"Content-Range": "bytes 100-%d/%d" % (len(BODY) - 1,
                                                                                            len(BODY))}}),
        # The right bytes, but nothing says they run to the file's end.
        (BODY[:100], {"headers": {"Content-Range": "bytes 100-%d/*" % (len(BODY) - 1)}}),
    ],
    ids=["no-content-length", "500", "404", "416", "416-at-another-size", "larger-than-1-GiB",
         "206-length-not-its-range", "206-unknown-total"],
)
def test_refused_answers_fail_before_any_byte(server, fresh_setup_file, on_disk, plan):
    fresh_setup_file.write_bytes(on_disk)
    server.body = BODY
    server.plan = [plan]
    out = download(server)
    assert out["Attempt1.Result"] == "0"
    assert fresh_setup_file.read_bytes() == on_disk
    assert out["Attempt1.Progress"] == ""
    assert_closed(out)


def test_connection_closed_early_ends_the_transfer(server, fresh_setup_file):
    server.body = BODY
    server.plan = [{"cut_after": 30_000}]
    out = download(server)
    assert out["Attempt1.Result"] == "0"
    assert int(out["Attempt1.BytesDone"]) == 30_000
    assert fresh_setup_file.read_bytes() == BODY[:30_000]
    assert_closed(out)


def test_empty_body_is_a_complete_download(server, fresh_setup_file):
    server.body = b""
    out = download(server)
    assert out["Attempt1.Result"] == "1"
    assert fresh_setup_file.read_bytes() == b""


def test_stop_keeps_every_byte_written_and_closes_everything(server, fresh_setup_file):
    server.body = BODY
    server.plan = [{"delay": 0.002}]
    out = download(server, stop_at=30)
    assert out["Attempt1.Result"] == "0"
    done = int(out["Attempt1.BytesDone"])
    # The loop ends right after the chunk whose percentage asked for the stop.
    assert reports(out["Attempt1.Progress"])[-1] == (30, done)
    assert fresh_setup_file.read_bytes() == BODY[:done]
    assert_closed(out)


def test_highest_percentage_is_a_mark_for_the_whole_process(server, fresh_setup_file):
    # The first attempt ends at 40 %; the second starts again from the first
    # byte and reports only what passes 40 %.
    server.body = BODY
    server.plan = [{"cut_after": 40_960}, {}]
    out = download(server, attempts=2, delete_between=True)
    assert out["Attempt1.Result"] == "0"
    assert [p for p, _ in reports(out["Attempt1.Progress"])] == list(range(1, 41))
    assert out["Attempt2.Result"] == "1"
    assert [p for p, _ in reports(out["Attempt2.Progress"])] == list(range(41, 101))
    assert "Range" not in server.requests[1]["headers"]
    assert fresh_setup_file.read_bytes() == BODY
