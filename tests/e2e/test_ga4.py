"""The installer built for GA4 (QuelloxSetupGA4, configured with
QUELLOX_ANALYTICS_PROTOCOL=ga4) run for real under Wine: a complete
installation, its events posted as JSON to /mp/collect on the loopback
collector, with the measurement id and the API secret as the query."""
import json
import os
import re
import time
import urllib.parse

from conftest import BIN, probe_output, run_wine

GUID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")
PROGRAM = "QuelloxSetupGA4.exe"


def posts(server, answered_only=True):
    return [r for r in server.requests if r["method"] == "POST" and (r["answered"] or not answered_only)]


def event(request):
    """The one event of a request's JSON body, after checking that the body
    holds exactly the fields the service expects."""
    body = json.loads(request["body"].decode("utf-8"))
    assert sorted(body) == ["client_id", "device", "events"]
    # The language the window showed: this build's own, English here.
    assert body["device"] == {"language": "en"}
    [item] = body["events"]
    assert sorted(item) == ["name", "params"]
    params = item["params"]
    assert sorted(params) == ["campaign", "category", "engagement_time_msec", "session_id", "value"]
    assert params["engagement_time_msec"] == 1 and params["value"] == 0
    # The campaign on its own, and in the category after the version tag.
    assert params["category"] == "quellox1.6.9restart-" + params["campaign"]
    return body["client_id"], item["name"], params


def test_complete_installation_posts_json_events_to_mp_collect(run, server):
    started = time.time()
    installer = run(PROGRAM).start("/SkipStart", "/Campaign:spring")
    assert installer.wait() == 0
    finished = time.time()
    assert len(installer.setup_runs()) == 1

    requests = posts(server)
    assert [event(r)[1] for r in requests] == ["install_start", "install_finish"]
    for request in requests:
        assert request["headers"]["Content-Type"] == "application/json"
        address = urllib.parse.urlsplit(request["url"])
        assert (address.scheme, address.hostname, address.port or 80, address.path) == (
            "http", "analytics.quellox.example", 80, "/mp/collect")
        assert urllib.parse.parse_qs(address.query, strict_parsing=True) == {
            "measurement_id": [os.environ["QUELLOX_GA4_MEASUREMENT_ID"]],
            "api_secret": [os.environ["QUELLOX_GA4_API_SECRET"]]}
    for earlier, later in zip(requests, requests[1:]):
        assert later["time"] - earlier["time"] >= 0.095

    (first_client, _, first), (second_client, _, second) = map(event, requests)
    assert GUID.fullmatch(first_client) and second_client == first_client
    assert first["category"] == second["category"]
    assert first["category"].startswith("quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_")
    # One session for the run: its start in Unix seconds.
    assert first["session_id"] == second["session_id"]
    assert re.fullmatch(r"[1-9][0-9]*", first["session_id"])
    assert int(started) - 1 <= int(first["session_id"]) <= finished + 1


def test_hostile_campaign_stays_inside_its_json_string(run, server):
    argument = '/Campaign:x\\","value":5},{"name":"forged\\\u00e9\u65e5\\'
    # The campaign as the program's own start-up reads it from that command
    # line; the last character is the A/B variant, drawn anew in each run.
    campaign = probe_output(run_wine(BIN / "startup_probe.exe", argument))["Campaign"]
    assert "\\" in campaign and "\u65e5" in campaign
    installer = run(PROGRAM).start("/SkipStart", argument)
    assert installer.wait() == 0
    requests = posts(server)
    assert [event(r)[1] for r in requests] == ["install_start", "install_finish"]
    assert event(requests[0])[2]["category"][:-1] == "quellox1.6.9restart-" + campaign[:-1]
    assert event(requests[0])[2]["campaign"][:-1] == campaign[:-1]


def test_outage_then_recovery_delivers_every_event_in_order(run, server):
    # The collector closes every connection unanswered until the setup
    # program has run and the window has queued its last event.
    server.post_plan = [{"drop": True}]
    installer = run(PROGRAM).start("/SkipStart")
    deadline = time.monotonic() + 60
    while not installer.setup_runs():
        assert time.monotonic() < deadline, "the setup program did not run"
        time.sleep(0.1)
    time.sleep(1.5)
    assert installer.process.poll() is None, "the installer ended during the outage"
    server.post_plan = [{}]
    assert installer.wait() == 0

    assert [event(r)[1] for r in posts(server)] == ["install_start", "install_finish"]
    attempts = [event(r)[1] for r in posts(server, answered_only=False)]
    # Retried during the outage; the later event never overtook the earlier.
    assert attempts.count("install_start") > 2
    assert attempts == sorted(attempts, key=["install_start", "install_finish"].index)
