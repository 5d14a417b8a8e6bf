"""quellox-collect over real HTTP on 127.0.0.1, on SQLite and on a real
PostgreSQL server: both event forms land, refusals carry their reasons, no
answered event is lost to kill -9, SIGTERM or two collectors behind nginx,
the page in headless Chromium shows what the database holds, and, under
Wine, a copy fetched through a signed quellox-stampd link shows on the page
as served, started and finished."""
import collections
import concurrent.futures
import json
import os
import re
import signal
import sqlite3
import threading
import time

import pytest

from collect_support import (BIN, COLLECT, Collector, Postgres, cells, chromium, collect_site, command, form_body,
                             free_port, ga4_body, get, post, start_nginx)

PICTURES = BIN.parent / "collect-pictures"
GA4_FLAGS = ("--ga4-id", "G-QLX7TEST42", "--ga4-secret")


@pytest.fixture
def collectors():
    started = []

    def start(*args, **kwargs):
        started.append(Collector(*args, **kwargs))
        return started[-1]

    yield start
    for c in started:
        if c.process.poll() is None:
            c.process.kill()
            c.process.wait()


@pytest.fixture
def postgres():
    server = Postgres()
    yield server
    server.close()


def rows(db, sql):
    with sqlite3.connect(db) as connection:
        return connection.execute(sql).fetchall()


def test_help_and_a_wrong_flag():
    result = command("--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: quellox-collect")
    assert "--listen ADDRESS:PORT" in result.stdout and "import-log FILE" in result.stdout
    result = command("--colour", "red")
    assert result.returncode == 2 and result.stderr.startswith("quellox-collect: ")
    result = command("--store", "mysql://x")
    assert result.returncode == 1 and "the store is neither sqlite:FILE nor postgresql://" in result.stderr


def test_both_forms_land_and_refusals_carry_their_reasons(collectors, tmp_path):
    secret = tmp_path / "ga4.secret"
    secret.write_text("s3cret\n")
    db = tmp_path / "events.db"
    c = collectors(tmp_path, "sqlite:%s" % db, *GA4_FLAGS, secret)
    ga4 = "/mp/collect?measurement_id=G-QLX7TEST42&api_secret=s3cret"
    # Each form without the window's language (the copies already out there)
    # and with it.
    for path, body in [("/collect", form_body("install_start")),
                       (ga4, ga4_body("install_finish")),
                       ("/collect", form_body("install_start", language="pt-BR")),
                       (ga4, ga4_body("install_finish", device={"category": "desktop", "language": "de"}))]:
        assert post(c.port, path, body)[0] == 204, body
    not_a_tag = b"the language refused: not a language tag (2-3 letters, then subtags of 1-8 letters or digits)\n"
    refused = [
        ("/collect", form_body("install_start", language="de_DE"), 400, not_a_tag),
        ("/collect", form_body("install_start", language="d\u00e9"), 400, not_a_tag),
        ("/collect", form_body("install_start", language="zh-abcdefgh-abcdefgh-abcdefgh-abcdef"), 400,
         b"the language refused: longer than 35 characters\n"),
        ("/collect", form_body("install_start", language="de") + "&ul=fr", 400,
         b"malformed form: the field ul is given twice\n"),
        (ga4, ga4_body("install_start", device="de"), 400, b'the JSON\'s "device" is of another type\n'),
        (ga4, ga4_body("install_start", device={"language": 7}), 400, b'the JSON\'s "language" is of another type\n'),
        (ga4, ga4_body("install_start", device={"language": "english"}), 400, not_a_tag),
        ("/collect", form_body("install_explode"), 400, b"unknown event name\n"),
        ("/collect", form_body("install_start", tracking="UA-12345678-1"), 400, b"unknown tracking id\n"),
        ("/collect", "v=1&tid=UA-00000000-0&cid=%zz", 400, b"malformed form: bad percent-encoding\n"),
        ("/collect", form_body("install_start", campaign="caf\u00e9"), 400,
         b"the campaign refused: only printable ASCII characters are allowed\n"),
        ("/collect", "x" * 8193, 413, b"the body is larger than 8192 bytes\n"),
        ("/mp/collect?measurement_id=G-QLX7TEST42&api_secret=nope", ga4_body("install_start"), 403,
         b"wrong measurement_id or api_secret\n"),
        ("/mp/collect?measurement_id=G-QLX7TEST42&api_secret=s3cret", "{\"client_id\":", 400,
         b"malformed JSON: the text ends early\n"),
    ]
    for path, body, status, reason in refused:
        assert post(c.port, path, body) == (status, reason), path
    assert post(c.port, "/collect", form_body("install_pause"))[0] == 204
    stored = rows(db, "SELECT name, campaign, version, form, client_id, language FROM events ORDER BY id")
    client = "{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}"
    assert stored == [("install_start", "spring", "quellox1.6.9restart", "v1", client, ""),
                      ("install_finish", "spring", "quellox1.6.9restart", "ga4", client, ""),
                      ("install_start", "spring", "quellox1.6.9restart", "v1", client, "pt-br"),
                      ("install_finish", "spring", "quellox1.6.9restart", "ga4", client, "de"),
                      ("install_pause", "spring", "quellox1.6.9restart", "v1", client, "")]
    # No address of a client is stored anywhere.
    dump = "\n".join(sqlite3.connect(db).iterdump())
    assert "127.0.0.1" not in dump
    reasons = collections.Counter(reason.decode().rstrip("\n") for path, body, status, reason in refused)
    assert dict(rows(db, "SELECT reason, count FROM refused_days")) == reasons
    # A body past what is read at all is refused before it reaches the
    # collector's own checks, and counted too.
    assert post(c.port, "/collect", "x" * 40000) == (413, b"the request body is larger than 32768 bytes\n")
    status, headers, body = get(c.port, "/healthz")
    assert status == 200 and body == b"ok schema=2 accepted=5 refused=%d unanswered=0\n" % (len(refused) + 1)
    # Each request has its access-log line, refusals with their reason.
    c.stop()
    log = c.log.read_text()
    assert re.search(r' 127\.0\.0\.1 POST "/collect" 204 .*event=install_start', log)
    assert re.search(r' POST "/collect" 400 .*reason="unknown event name"', log)


def test_the_page_and_figures_need_the_token_through_a_proxy(collectors, tmp_path):
    token = tmp_path / "page.token"
    token.write_text("t" * 40 + "\n")
    c = collectors(tmp_path, "sqlite:%s" % (tmp_path / "events.db"), "--token", token)
    assert get(c.port, "/")[0] == 200  # loopback
    assert get(c.port, "/", {"X-Forwarded-For": "192.0.2.7"})[0] == 401
    assert get(c.port, "/api/funnel", {"X-Forwarded-For": "192.0.2.7", "Authorization": "Bearer " + "t" * 40})[0] == 200
    assert get(c.port, "/?token=" + "t" * 40, {"X-Forwarded-For": "192.0.2.7"})[0] == 200


def test_import_log_forget_and_the_funnel_command(collectors, tmp_path):
    db = tmp_path / "events.db"
    store = "sqlite:%s" % db
    log = tmp_path / "stampd.log"
    today = time.strftime("%Y-%m-%d", time.gmtime())
    log.write_text(
        today + 'T00:00:00.001Z 127.0.0.1 GET "/qlx_E12-setup_forum.exe?cookie=spring&sig=ab" 200 195224 3.1ms'
        ' sig=valid name="qlx_E12-setup_forum.exe" cookie="spring" partner="p17" traffic=""\n')
    result = command("import-log", log, "--store", store)
    assert result.returncode == 0 and result.stdout.endswith("1 copies served, 1 new\n"), result
    assert command("import-log", log, "--store", store).stdout.endswith("0 copies served, 0 new\n")
    c = collectors(tmp_path, store)
    for name, client in (("install_start", "{A}"), ("install_start", "{B}"), ("install_finish", "{B}")):
        assert post(c.port, "/collect", form_body(name, client=client))[0] == 204
    c.stop()
    result = command("funnel", "--store", store)
    assert result.returncode == 0
    assert re.search(r"^spring +1 +2 +0 +0 +0 +1 +50\.0 %$", result.stdout, re.M), result.stdout
    assert "served with error code E12 (campaign spring): 1" in result.stdout
    result = command("forget", "{B}", "--store", store)
    assert result.returncode == 0 and result.stdout == "2 events of {B} removed\n"
    assert rows(db, "SELECT client_id FROM events") == [("{A}",)]


def load(port, stop, answered, unanswered, prefix, path="/collect", language=None):
    """Posts events with distinct client ids until told to stop; notes which were answered 2xx."""
    n = 0
    while not stop.is_set():
        client = "{%s-%d}" % (prefix, n)
        n += 1
        try:
            answer = post(port, path, form_body("install_start", client=client, language=language), timeout=10)
        except OSError:
            answer = None
        if answer and 200 <= answer[0] < 300:
            answered.append(client)
        else:
            unanswered.append(client)


@pytest.mark.parametrize("sync", ["full", "normal"])
def test_kill_9_under_load_loses_no_answered_event(collectors, tmp_path, sync):
    db = tmp_path / "events.db"
    c = collectors(tmp_path, "sqlite:%s" % db, "--sqlite-sync", sync)
    stop, answered, unanswered = threading.Event(), [], []
    threads = [threading.Thread(target=load, args=(c.port, stop, answered, unanswered, "k%d" % i)) for i in range(16)]
    for t in threads:
        t.start()
    time.sleep(2)
    c.process.send_signal(signal.SIGKILL)
    c.process.wait()
    stop.set()
    for t in threads:
        t.join()
    assert len(answered) > 100
    stored = {client for (client,) in rows(db, "SELECT client_id FROM events")}
    assert set(answered) <= stored
    # The rollups went with their events.
    for rollup in ("event_days", "event_language_days", "language_days"):
        assert rows(db, "SELECT SUM(count) FROM %s" % rollup) == [(len(stored),)], rollup


def test_sigterm_commits_every_event_received(collectors, tmp_path):
    db = tmp_path / "events.db"
    c = collectors(tmp_path, "sqlite:%s" % db)
    stop, answered, unanswered = threading.Event(), [], []
    threads = [threading.Thread(target=load, args=(c.port, stop, answered, unanswered, "t%d" % i)) for i in range(16)]
    for t in threads:
        t.start()
    time.sleep(1.5)
    assert c.stop() == 0
    stop.set()
    for t in threads:
        t.join()
    stored = {client for (client,) in rows(db, "SELECT client_id FROM events")}
    assert len(answered) > 100 and set(answered) <= stored


def test_the_page_shows_what_the_database_holds(collectors, tmp_path):
    db = tmp_path / "events.db"
    store = "sqlite:%s" % db
    log = tmp_path / "stampd.log"
    today = time.strftime("%Y-%m-%d", time.gmtime())
    line = ('%sT08:00:0%d.001Z 127.0.0.1 GET "/qlx_E12-setup_forum.exe?cookie=spring&sig=ab" 200 195224 3.1ms'
            ' sig=valid name="qlx_E12-setup_forum.exe" cookie="spring" partner="p17" traffic=""\n')
    log.write_text("".join(line % (today, i) for i in range(3)))
    assert command("import-log", log, "--store", store).returncode == 0
    c = collectors(tmp_path, store)
    languages = {"{A}": None, "{B}": "de", "{C}": "pt-BR"}
    for name, campaign, client in [("install_start", "spring", "{A}"), ("install_start", "spring", "{B}"),
                                   ("install_pause", "spring", "{B}"), ("install_resume", "spring", "{B}"),
                                   ("install_finish", "spring", "{B}"), ("install_cancel", "spring", "{A}"),
                                   ("install_start", "autumn", "{C}")]:
        body = form_body(name, campaign=campaign, client=client, language=languages[client])
        assert post(c.port, "/collect", body)[0] == 204
    PICTURES.mkdir(parents=True, exist_ok=True)
    dom = chromium("http://127.0.0.1:%d/" % c.port, tmp_path, PICTURES / "funnel-page.png")
    for campaign in ("spring", "autumn"):
        shown = cells(dom, "campaigns", campaign)
        held = dict(rows(db, "SELECT name, SUM(count) FROM event_days WHERE campaign = '%s' GROUP BY name" % campaign))
        served = rows(db, "SELECT COALESCE(SUM(count), 0) FROM served_days WHERE campaign = '%s'" % campaign)[0][0]
        assert shown["served"] == str(served)
        for step, name in (("starts", "install_start"), ("pauses", "install_pause"), ("resumes", "install_resume"),
                           ("cancels", "install_cancel"), ("finishes", "install_finish")):
            assert shown[step] == str(held.get(name, 0)), (campaign, step)
    assert cells(dom, "campaigns", "spring")["conversion"] == "50.0 %"
    assert re.search(r'<rect [^>]*class="served"[^>]*data-v="3"', dom) or 'data-v="3"' in dom
    assert cells(dom, "errors", "spring")["error_code"] == "E12"
    # Per language, as the database holds them; "not sent" for the copies
    # that send none.
    for language, shown_as in (("de", "de"), ("pt-br", "pt-br"), ("", "not sent")):
        shown = cells(dom, "languages", language, key="language")
        held = dict(rows(db, "SELECT name, SUM(count) FROM language_days WHERE language = '%s' GROUP BY name" % language))
        assert shown["language"] == shown_as
        assert (shown["starts"], shown["cancels"], shown["finishes"]) == tuple(
            str(held.get(name, 0)) for name in ("install_start", "install_cancel", "install_finish")), language
    assert cells(dom, "languages", "de", key="language")["conversion"] == "100.0 %"
    assert cells(dom, "languages", "", key="language")["conversion"] == "0.0 %"


def test_the_funnel_per_language(collectors, tmp_path):
    secret = tmp_path / "ga4.secret"
    secret.write_text("s3cret\n")
    db = tmp_path / "events.db"
    c = collectors(tmp_path, "sqlite:%s" % db, *GA4_FLAGS, secret)
    ga4 = "/mp/collect?measurement_id=G-QLX7TEST42&api_secret=s3cret"
    for path, body in [("/collect", form_body("install_start", client="{A}", language="de")),
                       ("/collect", form_body("install_finish", client="{A}", language="de")),
                       (ga4, ga4_body("install_start", client="{B}", device={"language": "zh-CN"})),
                       (ga4, ga4_body("install_cancel", client="{B}", device={"language": "zh-CN"})),
                       ("/collect", form_body("install_start", client="{C}", campaign="autumn")),
                       ("/collect", form_body("install_start", client="{D}", language="DE"))]:
        assert post(c.port, path, body)[0] == 204, body
    status, headers, body = get(c.port, "/api/funnel?group=language")
    assert status == 200, body
    figures = json.loads(body)
    assert figures["group"] == ["language"]
    shown = {r["language"]: (r["starts"], r["cancels"], r["finishes"], r["conversion"]) for r in figures["rows"]}
    assert shown == {"": (1, 0, 0, 0.0), "de": (2, 0, 1, 0.5), "zh-cn": (1, 1, 0, 0.0)}
    held = rows(db, "SELECT language, COUNT(*) FROM events WHERE name = 'install_start' GROUP BY language ORDER BY language")
    assert held == [(language, starts) for language, (starts, *_) in sorted(shown.items())]
    assert figures["languages"] == [{k: v for k, v in r.items() if k != "served"} for r in figures["rows"]]
    status, headers, body = get(c.port, "/api/funnel?group=campaign,language")
    assert [(r["campaign"], r["language"], r["starts"]) for r in json.loads(body)["rows"]] == [
        ("autumn", "", 1), ("spring", "de", 2), ("spring", "zh-cn", 1)]
    # The default grouping stays campaign, version and day.
    status, headers, body = get(c.port, "/api/funnel")
    assert json.loads(body)["group"] == ["campaign", "version", "day"]
    assert all("language" not in r for r in json.loads(body)["rows"])


def test_two_collectors_behind_nginx_on_postgresql_lose_nothing(collectors, postgres, tmp_path):
    first = collectors(tmp_path, postgres.address)
    second = collectors(tmp_path, postgres.address)
    port = free_port()
    nginx = start_nginx(tmp_path / "nginx", collect_site(port, [first.port, second.port]))
    try:
        stop, answered, unanswered = threading.Event(), [], []
        # Half the copies send their window's language.
        threads = [threading.Thread(target=load, args=(port, stop, answered, unanswered, "n%d" % i),
                                    kwargs={"language": "de" if i % 2 else None}) for i in range(32)]
        for t in threads:
            t.start()
        time.sleep(3)
        stop.set()
        for t in threads:
            t.join()
    finally:
        nginx.terminate()
        nginx.wait(timeout=10)
    assert len(answered) > 200 and unanswered == []
    stored = postgres.query("SELECT client_id FROM events").split("\n")
    assert sorted(stored) == sorted(answered)
    assert postgres.query("SELECT SUM(count) FROM event_days") == str(len(answered))
    german = sum(1 for client in answered if int(client[2:client.index("-")]) % 2)
    for rollup in ("event_language_days", "language_days"):
        assert postgres.query("SELECT language, SUM(count) FROM %s GROUP BY language ORDER BY language" % rollup) == \
            "|%d\nde|%d" % (len(answered) - german, german), rollup
    # Both collectors took their share.
    for c in (first, second):
        c.stop()
        assert c.log.read_text().count('POST "/collect" 204') > 10


def test_postgresql_away_for_a_moment_loses_nothing(collectors, postgres, tmp_path):
    c = collectors(tmp_path, postgres.address)
    port = free_port()
    nginx = start_nginx(tmp_path / "nginx", collect_site(port, [c.port]))
    try:
        # Clients as the installer is: an event without an answer is sent
        # again, and the next waits until it is delivered.
        delivered, stop = [], threading.Event()

        def installer(i):
            n = 0
            while not stop.is_set():
                client = "{away-%d-%d}" % (i, n)
                n += 1
                while True:
                    answer = post(port, "/collect", form_body("install_start", client=client), timeout=10)
                    if answer is not None:
                        assert answer[0] == 204, answer
                        delivered.append(client)
                        break
                    time.sleep(0.05)

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            futures = [pool.submit(installer, i) for i in range(8)]
            time.sleep(1)
            postgres.stop("fast")
            time.sleep(1.5)
            postgres.start()
            time.sleep(1.5)
            stop.set()
            for f in futures:
                f.result()
    finally:
        nginx.terminate()
        nginx.wait(timeout=10)
    assert len(delivered) > 100
    stored = set(postgres.query("SELECT client_id FROM events").split("\n"))
    assert stored >= set(delivered)
    c.stop()
    assert "the database is away" in c.log.read_text()


WINE_SITE = """
upstream quellox_collect {{
    server 127.0.0.1:{collector};
}}
server {{
    listen 127.0.0.1:{port};
    server_name analytics.quellox.example;
    location = /collect {{
        proxy_pass http://quellox_collect;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
    }}
    location = /mp/collect {{
        proxy_pass http://quellox_collect;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
    }}
    error_page 502 503 504 = @unanswered;
    location @unanswered {{
        return 444;
    }}
}}
server {{
    listen 127.0.0.1:{port};
    server_name download.quellox.example;
    root {files};
    location / {{
        try_files /quellox-setup.exe =404;
    }}
}}
"""


def test_a_copy_from_a_signed_link_shows_as_served_started_and_finished(collectors, tmp_path, signing_identity,
                                                                        signed_setup):
    """The maker's whole path under Wine: quellox-stampd serves a copy for a
    signed link, the copy installs (the installer's compiled-in addresses
    reach nginx as its proxy: the download there, the events on to the
    collector), the service's log is imported, and the page shows the
    campaign with 1 served, 1 started and 1 finished."""

    from conftest import OFFERED_KEY, PRODUCT_KEY, Run, probe_output, reg, run_wine, sign, unix_path
    from test_stampd import Stampd, links, make_key, target_of

    installer = sign(signing_identity, BIN / "QuelloxSetup.exe", tmp_path / "QuelloxSetup-signed.exe")
    key = make_key(tmp_path / "current.key")
    stampd = Stampd(tmp_path, installer, key)
    db = tmp_path / "events.db"
    collector = collectors(tmp_path, "sqlite:%s" % db)
    files = tmp_path / "files"
    files.mkdir()
    (files / "quellox-setup.exe").write_bytes(signed_setup)
    port = free_port()
    nginx = start_nginx(tmp_path / "nginx", WINE_SITE.format(collector=collector.port, port=port, files=files))
    for k in (PRODUCT_KEY, OFFERED_KEY):
        reg("delete", k, "/f", "/reg:32")
    setup_file = unix_path(probe_output(run_wine(BIN / "startup_probe.exe"))["SetupFileName"])
    setup_file.unlink(missing_ok=True)
    try:
        [link] = links(key, "http://x", ["error_code,linker,cookie,partner", "E12,forum,wine-spring,p23"])
        status, headers, body = stampd.request(target_of(link))
        assert status == 200
        copy = tmp_path / "qlx_E12-setup_forum.exe"
        copy.write_bytes(body)

        class Proxy:
            proxy = "http://127.0.0.1:%d" % port

        run = Run(Proxy(), tmp_path / "setup.log", str(copy), setup_file)
        assert run.start("/SkipStart").wait(timeout=180) == 0
        assert len(run.setup_runs()) == 1
        stampd.stop()
        result = command("import-log", stampd.log, "--store", "sqlite:%s" % db)
        assert result.returncode == 0 and result.stdout.endswith("1 copies served, 1 new\n"), result
        PICTURES.mkdir(parents=True, exist_ok=True)
        dom = chromium("http://127.0.0.1:%d/" % collector.port, tmp_path, PICTURES / "served-started-finished.png")
        shown = cells(dom, "campaigns", "wine-spring")
        assert (shown["served"], shown["starts"], shown["finishes"]) == ("1", "1", "1"), shown
        assert cells(dom, "errors", "wine-spring")["error_code"] == "E12"
    finally:
        nginx.terminate()
        nginx.wait(timeout=10)
        stampd.stop()
        for k in (PRODUCT_KEY, OFFERED_KEY):
            reg("delete", k, "/f", "/reg:32")
        setup_file.unlink(missing_ok=True)


def test_the_ga4_build_installs_and_shows_as_started_and_finished(collectors, tmp_path, signed_setup):
    """The installer built for GA4, under Wine, sends its JSON events (with
    the build's measurement id and secret in the query) through nginx to a
    collector configured with that id and secret; the figures then show the
    run's campaign started once and finished once."""

    from conftest import OFFERED_KEY, PRODUCT_KEY, Run, probe_output, reg, run_wine, unix_path

    secret = tmp_path / "ga4.secret"
    secret.write_text(os.environ["QUELLOX_GA4_API_SECRET"] + "\n")
    db = tmp_path / "events.db"
    collector = collectors(tmp_path, "sqlite:%s" % db, "--ga4-id", os.environ["QUELLOX_GA4_MEASUREMENT_ID"],
                           "--ga4-secret", secret)
    files = tmp_path / "files"
    files.mkdir()
    (files / "quellox-setup.exe").write_bytes(signed_setup)
    port = free_port()
    nginx = start_nginx(tmp_path / "nginx", WINE_SITE.format(collector=collector.port, port=port, files=files))
    for k in (PRODUCT_KEY, OFFERED_KEY):
        reg("delete", k, "/f", "/reg:32")
    setup_file = unix_path(probe_output(run_wine(BIN / "startup_probe.exe"))["SetupFileName"])
    setup_file.unlink(missing_ok=True)
    try:
        class Proxy:
            proxy = "http://127.0.0.1:%d" % port

        run = Run(Proxy(), tmp_path / "setup.log", "QuelloxSetupGA4.exe", setup_file)
        assert run.start("/SkipStart", "/Campaign:ga4-spring").wait(timeout=180) == 0
        assert len(run.setup_runs()) == 1
        status, headers, body = get(collector.port, "/api/funnel?group=campaign")
        assert status == 200, body
        [shown] = [r for r in json.loads(body)["rows"] if r["campaign"] == "ga4-spring"]
        assert (shown["starts"], shown["finishes"], shown["cancels"]) == (1, 1, 0), shown
        stored = rows(db, "SELECT name, campaign, form FROM events ORDER BY id")
        assert stored == [("install_start", "ga4-spring", "ga4"), ("install_finish", "ga4-spring", "ga4")]
    finally:
        nginx.terminate()
        nginx.wait(timeout=10)
        for k in (PRODUCT_KEY, OFFERED_KEY):
            reg("delete", k, "/f", "/reg:32")
        setup_file.unlink(missing_ok=True)
    collector.stop()
    log = collector.log.read_text()
    assert len(re.findall(r'POST "/mp/collect\?[^"]*" 204 ', log)) == 2, log
    # The secret in the query is not kept in the access log.
    assert "api_secret=-" in log and "s3cret" not in log, log
