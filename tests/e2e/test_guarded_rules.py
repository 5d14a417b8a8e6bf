"""Rules that a plausible slip would break silently: what the proxy sees of
each request, the cancel question's Yes while paused, how soon a stop ends
the wait between attempts, and a close whose one event cannot be sent."""
import time

import pytest

from test_window import CLASS, inspect, listing, wait_until
from test_worker import signed_setup, world  # noqa: F401 (fixtures)


def test_requests_ask_past_every_cache_and_carry_no_cookies(run, server):
    # Both servers try to set a cookie with every answer; a request that
    # sent cookies would return it on the next attempt or event.
    server.plan = [{"force_status": 500, "headers": {"Set-Cookie": "session=abc; path=/"}}]
    server.post_plan = [{"headers": {"Set-Cookie": "tracked=yes; path=/"}}]
    installer = run("QuelloxSetupShortWait.exe").start("/SkipStart")
    assert installer.wait() == 0
    for method, count in (("GET", 5), ("POST", 2)):
        requests = [r for r in server.requests if r["method"] == method]
        assert len(requests) == count, method
        for request in requests:
            headers = {name.lower(): value for name, value in request["headers"].items()}
            assert "cookie" not in headers, (method, headers)
            assert headers.get("pragma") == "no-cache", (method, headers)


def test_cancel_question_answered_yes_while_paused_resumes(run, server):
    server.plan = [{"delay": 0.01}]
    installer = run().start("/SkipStart")
    listing()
    wait_until(lambda: server.requests, what="the download")
    inspect("command", CLASS, "201")  # pause
    wait_until(lambda: "install_pause" in installer.events(), what="install_pause")
    time.sleep(0.5)  # the worker has stopped
    inspect("command", CLASS, "202")
    assert inspect("answer", "class:#32770", "6", "20000").returncode == 0  # Yes: continue
    assert installer.wait() == 0
    assert installer.events() == ["install_start", "install_pause", "install_resume", "install_finish"]
    downloads = [r for r in server.requests if r["method"] == "GET"]
    assert len(downloads) == 2 and downloads[1]["headers"]["Range"].startswith("bytes=")


@pytest.mark.parametrize("stop_after_ms", [450, 1020, 1777])
def test_a_stop_ends_the_wait_between_attempts_within_about_one_step(world, server, stop_after_ms):
    # Whatever moment of the 100 ms steps the stop lands in.
    server.plan = [{"force_status": 500}]
    out = world("stop-in-wait", retry_wait_ms=20000, extra={"QUELLOX_PROBE_STOP_AFTER_MS": str(stop_after_ms)})
    assert out["FinalState"] == "3"
    assert out["Notices"] == ""
    assert int(out["StopLatencyMs"]) <= 300


@pytest.mark.parametrize("post_plan, delivered", [
    ([{"drop": True}], []),
    ([{"drop": True}, {}], ["install_cancel"]),
], ids=["undeliverable", "first-connection-dropped"])
def test_close_retries_the_only_event_until_the_drain_limit(run, server, post_plan, delivered):
    # "install_cancel" is the run's only event: in flight, it keeps the queue
    # from counting as drained, so it is retried until it arrives or the
    # drain limit (2 s here) passes; then the close ends at once.
    server.post_plan = post_plan
    installer = run("QuelloxSetupShortWait.exe").start()
    listing()
    closed = time.monotonic()
    assert inspect("close", CLASS).returncode == 0
    assert installer.wait(timeout=60) == 0
    assert time.monotonic() - closed < 2 + 10 + 6
    assert len([r for r in server.requests if r["method"] == "POST"]) >= 2
    assert installer.events() == delivered
