"""The analytics reporter run for real: the sender thread, WinINet under
Wine, a loopback collector reached through http_proxy, and Wine's registry
for the client identifier."""
import os
import re
import socket
import subprocess
import time
import urllib.parse

import pytest

from conftest import BIN, WINE, probe_output, run_wine

SETTINGS_KEY = r"HKLM\Software\Calderwyn\Google Analytics Package\1.x\Settings"
GUID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")


def reg(*args):
    return subprocess.run([WINE, "reg", *args, "/reg:32"], capture_output=True, timeout=30)


@pytest.fixture
def collector(server):
    reg("delete", r"HKLM\Software\Calderwyn", "/f")
    yield server
    reg("delete", r"HKLM\Software\Calderwyn", "/f")


def report(server, *events, args=(), drain_ms=None, env=None):
    full_env = {"http_proxy": server.proxy, "QUELLOX_PROBE_EVENTS": ",".join(events)}
    if drain_ms is not None:
        full_env["QUELLOX_PROBE_DRAIN_MS"] = str(drain_ms)
    full_env.update(env or {})
    return probe_output(run_wine(BIN / "analytics_probe.exe", *args, env=full_env, timeout=120))


def fields(request):
    return urllib.parse.parse_qs(request["body"].decode("ascii"), keep_blank_values=True, strict_parsing=True)


def answered(server):
    return [r for r in server.requests if r["answered"]]


def test_events_arrive_in_order_at_least_100_ms_apart(collector):
    out = report(collector, "install_start", "install_pause", "install_resume", args=["/Campaign:spring"])
    requests = answered(collector)
    assert [fields(r)["ea"] for r in requests] == [["install_start"], ["install_pause"], ["install_resume"]]
    for earlier, later in zip(requests, requests[1:]):
        assert later["time"] - earlier["time"] >= 0.095
    first = requests[0]
    assert first["method"] == "POST"
    assert first["url"].replace(":80/", "/", 1) == "http://analytics.quellox.example/collect"
    assert first["headers"]["Content-Type"] == "application/x-www-form-urlencoded"
    assert GUID.fullmatch(out["ClientID"])
    assert first["body"].decode("ascii") == (
        f"v=1&tid=UA-00000000-0&cid={out['ClientID']}&t=event&ec={out['EventCategory']}"
        "&ea=install_start&el=&ev=0&ul=en")
    assert out["EventCategory"].startswith("quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_")


def test_hostile_campaign_cannot_add_or_change_a_field(collector):
    out = report(collector, "install_start", args=["/Campaign:a&ev=5&cid=x y+%"])
    [request] = answered(collector)
    body = fields(request)
    assert sorted(body) == ["cid", "ea", "ec", "el", "ev", "t", "tid", "ul", "v"]
    assert all(len(values) == 1 for values in body.values())
    assert body["ev"] == ["0"] and body["cid"] == [out["ClientID"]]
    assert body["ec"] == [out["EventCategory"]]
    assert "a&ev=5&cid=x y+%" in out["EventCategory"]


def test_network_down_then_back_delivers_everything_in_order(collector):
    # Nothing listens at first: every connection is refused. The collector
    # comes back 1.5 s after the probe has printed its last line before it
    # queues the events and calls Done, so Done waits at least that long
    # (less the instant between that line and its start), however long the
    # probe took to start.
    from loopback_server import LoopbackServer

    with socket.socket() as probe_socket:
        probe_socket.bind(("127.0.0.1", 0))
        port = probe_socket.getsockname()[1]
    env = dict(os.environ, http_proxy="http://127.0.0.1:%d" % port,
               QUELLOX_PROBE_EVENTS="install_start,install_pause,install_resume")
    probe = subprocess.Popen([WINE, str(BIN / "analytics_probe.exe")], env=env, stdout=subprocess.PIPE)
    server = None
    try:
        lines = []
        while not lines or not lines[-1].startswith(b"EventCategory="):
            lines.append(probe.stdout.readline())
            assert lines[-1], lines
        time.sleep(1.5)
        server = LoopbackServer(port=port)
        rest, _ = probe.communicate(timeout=120)
        assert probe.returncode == 0
        out = dict(line.split("=", 1) for line in (b"".join(lines) + rest).decode().splitlines())
        assert [fields(r)["ea"][0] for r in server.requests] == ["install_start", "install_pause", "install_resume"]
        assert int(out["DoneMs"]) >= 1450
    finally:
        if probe.poll() is None:
            probe.kill()
            probe.wait()
        if server:
            server.close()


def test_connections_closed_without_answer_are_retried_in_order(collector):
    collector.plan = [{"drop": True}] * 4 + [{}]
    report(collector, "install_start", "install_pause", "install_resume")
    names = [fields(r)["ea"][0] for r in collector.requests]
    # The first event is retried while the others wait behind it.
    assert names == ["install_start"] * 5 + ["install_pause", "install_resume"]
    assert [fields(r)["ea"][0] for r in answered(collector)] == ["install_start", "install_pause", "install_resume"]


def test_error_status_counts_as_delivered(collector):
    # The collector's own refusal: the same event would be refused again.
    collector.plan = [{"force_status": 400}, {"force_status": 404}]
    report(collector, "install_start", "install_cancel")
    assert [fields(r)["ea"][0] for r in collector.requests] == ["install_start", "install_cancel"]


def test_server_errors_are_retried_in_order(collector):
    # What a proxy or a CDN answers while the collector behind it is down.
    collector.plan = [{"force_status": 503}, {"force_status": 502}, {"force_status": 504}, {"force_status": 500}, {}]
    report(collector, "install_start", "install_finish")
    assert [fields(r)["ea"][0] for r in collector.requests] == ["install_start"] * 5 + ["install_finish"]


def test_done_with_an_empty_queue_stops_at_once(collector):
    out = report(collector, drain_ms=60000)
    assert int(out["DoneMs"]) < 60000
    assert collector.requests == []


def test_events_behind_an_undeliverable_one_are_discarded_after_the_limit(collector):
    collector.plan = [{"drop": True}]
    out = report(collector, "install_start", "install_pause", "install_resume", drain_ms=1500)
    assert int(out["DoneMs"]) >= 1500
    assert {fields(r)["ea"][0] for r in collector.requests} == {"install_start"}


def test_exit_stays_bounded_when_the_server_never_answers(collector):
    collector.plan = [{"hang": 60}]
    out = report(collector, "install_start", "install_pause", drain_ms=500)
    # The drain limit, then at most the attempt in progress, which its
    # time-outs end.
    assert 500 <= int(out["DoneMs"]) < 500 + 10000 + 5000


@pytest.mark.parametrize(
    "stored_type, stored, kept",
    [
        ("REG_SZ", "  {0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}  ", True),
        ("REG_SZ", "{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}", True),
        ("REG_EXPAND_SZ", "{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}", False),
        ("REG_BINARY", "7B30467D", False),
        ("REG_SZ", "", False),
    ],
)
def test_stored_client_id(collector, stored_type, stored, kept):
    reg("add", SETTINGS_KEY, "/v", "ClientID", "/t", stored_type, "/d", stored, "/f")
    out = report(collector, "install_start")
    if kept:
        assert out["ClientID"] == "{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}"
    else:
        assert GUID.fullmatch(out["ClientID"]) and out["ClientID"] != "{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}"
        query = reg("query", SETTINGS_KEY, "/v", "ClientID").stdout.decode()
        assert re.search(r"ClientID\s+REG_SZ\s+" + re.escape(out["ClientID"]), query), query
    assert fields(answered(collector)[0])["cid"] == [out["ClientID"]]


def test_missing_client_id_is_created_once_and_kept(collector):
    first = report(collector)["ClientID"]
    assert GUID.fullmatch(first)
    assert report(collector)["ClientID"] == first


def test_key_that_cannot_be_created_leaves_the_id_empty(collector):
    out = report(collector, "install_start", env={"QUELLOX_PROBE_VOLATILE_PARENT": "1"})
    assert out["ClientID"] == ""
    assert fields(answered(collector)[0])["cid"] == [""]
    assert reg("query", SETTINGS_KEY).returncode != 0
