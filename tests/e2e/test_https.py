"""Downloads and analytics over https, and the ports written in the
addresses. WinINet sends an https request through http_proxy as a CONNECT
to host:port and speaks TLS inside the tunnel; the loopback server answers
the CONNECT and the TLS with a certificate issued by a throwaway test
authority, which the prefix is made to trust. QuelloxSetupHttps is the
installer (with short waits) of a deployment whose download address is
https://download.quellox.example/... and whose analytics address is
https://analytics.quellox.example:8443/collect."""
import ssl
import subprocess

import pytest

from conftest import BIN, probe_output, run_wine, winpath

HOSTS = ["download.quellox.example", "analytics.quellox.example"]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    """A test authority, trusted by the prefix, and two server certificates
    it issued: one for the installer's hosts, one for another host."""
    folder = tmp_path_factory.mktemp("tls")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Quellox Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", "ca-key.pem", "-out", "ca.pem", cwd=folder)
    openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=folder)
    for name, hosts in (("ours", HOSTS), ("elsewhere", ["elsewhere.quellox.example"])):
        (folder / (name + ".ext")).write_text(
            "subjectAltName=" + ",".join("DNS:" + h for h in hosts) + "\nextendedKeyUsage=serverAuth\n")
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + hosts[0],
                "-keyout", name + "-key.pem", "-out", name + ".csr", cwd=folder)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca-key.pem", "-CAcreateserial",
                "-days", "2", "-extfile", name + ".ext", "-out", name + ".pem", cwd=folder)
    result = run_wine(BIN / "trust_root.exe", winpath(folder / "ca.der"))
    assert result.returncode == 0, result

    def context(name):
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(folder / (name + ".pem"), folder / (name + "-key.pem"))
        return tls

    return context


def downloads(server):
    return [r for r in server.requests if r["method"] == "GET"]


def test_resumed_download_and_analytics_over_https(run, server, certificates, signed_setup):
    server.tls = certificates("ours")
    installer = run("QuelloxSetupHttps.exe")
    half = len(signed_setup) // 2
    installer.setup_file.write_bytes(signed_setup[:half])

    installer.start("/SkipStart")
    assert installer.wait() == 0

    assert len(installer.setup_runs()) == 1
    [download] = downloads(server)
    assert download["tls"]
    assert download["headers"]["Range"] == "bytes=%d-" % half
    # The scheme's port for the download, the one the address names for the analytics.
    assert "download.quellox.example:443" in server.tunnels
    assert "analytics.quellox.example:8443" in server.tunnels
    assert installer.events() == ["install_start", "install_finish"]
    assert all(r["tls"] for r in server.requests)


def test_certificate_for_another_host_fails_every_attempt(run, server, certificates):
    server.tls = certificates("elsewhere")
    installer = run("QuelloxSetupHttps.exe").start("/SkipStart")
    assert installer.wait() == 0

    # Five attempts, each ended by the certificate check: no request goes
    # through (WinINet checks the certificate once the handshake is done).
    assert server.tunnels.count("download.quellox.example:443") == 5
    assert server.requests == []
    assert installer.setup_runs() == []
    assert not installer.setup_file.exists()


@pytest.mark.parametrize("probe, addresses", [
    # Wine's proxy request names the default port too.
    ("analytics_probe.exe", {"http://analytics.quellox.example/collect", "http://analytics.quellox.example:80/collect"}),
    ("analytics_probe_http_port.exe", {"http://analytics.quellox.example:8080/collect"}),
])
def test_analytics_port_is_the_one_in_the_address(server, probe, addresses):
    out = probe_output(run_wine(BIN / probe, env={"http_proxy": server.proxy, "QUELLOX_PROBE_EVENTS": "install_start",
                                                  "QUELLOX_PROBE_DRAIN_MS": "5000"}))
    assert out["DoneMs"]
    [post] = [r for r in server.requests if r["method"] == "POST"]
    assert post["url"] in addresses


def test_a_redirect_to_plain_http_is_never_followed(run, server, certificates):
    # Every answer over TLS sends the client to the same address in clear;
    # the plain leg would get the same answer, but must never be asked.
    server.tls = certificates("ours")
    server.plan = [{"force_status": 302,
                    "headers": {"Location": "http://download.quellox.example/files/quellox-setup.exe"}}]
    server.post_plan = [{"force_status": 302, "headers": {"Location": "http://analytics.quellox.example/collect"}}]
    installer = run("QuelloxSetupHttps.exe").start("/SkipStart")
    assert installer.wait() == 0

    assert [r for r in server.requests if not r["tls"]] == []
    # Each of the five attempts asked once over TLS and failed on the redirect.
    assert len(downloads(server)) == 5
    assert installer.setup_runs() == []
    assert not installer.setup_file.exists()
