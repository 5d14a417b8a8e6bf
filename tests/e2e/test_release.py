"""scripts/release.sh, the maker's release: it refuses placeholder values
and missing identities before building anything; with a PKCS#12 identity it
builds the maker's installer, signs it, and leaves signed, stamped, named
copies that reach the maker's own addresses; a dry run rehearses the same
path with the .example values and a throwaway certificate."""
import os
import pathlib
import re
import subprocess

import pytest

from conftest import BIN, x86_mode
from test_stamp import osslsigncode_verifies, read_back, trusted

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE_LIST = ROOT / "examples/partners.csv"
# Kept between runs, so that a second run builds only what changed.
BUILD = BIN.parent / "release-maker-test"
MAKER = {
    "QUELLOX_DOWNLOAD_URL": "http://download.maker.test/files/quellox-setup.exe",
    "QUELLOX_LICENSE_URL": "http://www.maker.test/license/",
    "QUELLOX_ANALYTICS_URL": "http://analytics.maker.test/collect",
    "QUELLOX_TRACKING_ID": "UA-12345678-1",
}
SETTINGS = [name for name in os.environ if name.startswith(("QUELLOX_SIGN", "QUELLOX_TIMESTAMP", "QUELLOX_DOWNLOAD",
                                                            "QUELLOX_LICENSE", "QUELLOX_ANALYTICS", "QUELLOX_TRACKING"))]


def fingerprint(cert):
    out = subprocess.run(["openssl", "x509", "-in", str(cert), "-noout", "-fingerprint", "-sha256"],
                         check=True, capture_output=True, text=True).stdout
    return out.strip().split("=", 1)[1].replace(":", "")


def release(*args, env=None, build=BUILD, cwd=None, timeout=900):
    full_env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    full_env.update(env or {}, QUELLOX_RELEASE_BUILD_DIR=str(build))
    return subprocess.run(["bash", str(ROOT / "scripts/release.sh"), *map(str, args)], env=full_env, cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def maker_identity(tmp_path_factory, signing_identity):
    """The throwaway certificate as a maker keeps it: a PKCS#12 file with a password."""
    cert, key = signing_identity
    p12 = tmp_path_factory.mktemp("maker") / "maker.p12"
    subprocess.run(["openssl", "pkcs12", "-export", "-in", str(cert), "-inkey", str(key), "-out", str(p12),
                    "-passout", "pass:s3cret word"], check=True, capture_output=True)
    # A self-made certificate has no authority behind it: the maker's
    # verification step is told to trust it.
    return {"QUELLOX_SIGN_PKCS12": str(p12), "QUELLOX_SIGN_PASSWORD": "s3cret word", "QUELLOX_SIGN_CAFILE": str(cert)}


@pytest.mark.parametrize(
    "args, env, code, message",
    [
        ([], {}, 2, "release: LIST and OUTDIR are needed (0 given)\nusage: scripts/release.sh [--dry-run] [--force] LIST OUTDIR"),
        (["--colour", EXAMPLE_LIST, "out"], {}, 2, "release: unknown option --colour\nusage: "),
        ([EXAMPLE_LIST, "out"], {}, 1, "QUELLOX_DOWNLOAD_URL is not set"),
        ([EXAMPLE_LIST, "out"], dict(MAKER, QUELLOX_LICENSE_URL="http://www.quellox.example/license/"), 1,
         "QUELLOX_LICENSE_URL 'http://www.quellox.example/license/' is an .example placeholder"),
        ([EXAMPLE_LIST, "out"], dict(MAKER, QUELLOX_TRACKING_ID="UA-00000000-0"), 1, "placeholder tracking id"),
        ([EXAMPLE_LIST, "out"], MAKER, 1, "no signing identity"),
        (["missing.csv", "out"], MAKER, 1, "missing.csv: no such partner list"),
        ([EXAMPLE_LIST, "out"], dict(MAKER, QUELLOX_SIGN_PKCS11_MODULE="/usr/lib/token.so", QUELLOX_SIGN_PKCS11_KEY="k"),
         1, "a token needs QUELLOX_SIGN_CERTS"),
    ],
    ids=["no-arguments", "unknown-option", "no-values", "example-address", "example-tracking-id", "no-identity",
         "no-list", "token-without-certificate"],
)
def test_refused_before_anything_is_built(tmp_path, args, env, code, message):
    result = release(*args, env=env, build=tmp_path / "build", cwd=tmp_path)
    assert result.returncode == code
    assert message in result.stderr
    assert not (tmp_path / "out").exists()
    assert not (tmp_path / "build/bin").exists()


def test_a_wrong_password_is_refused(tmp_path, maker_identity):
    result = release(EXAMPLE_LIST, tmp_path / "out", env={**MAKER, **maker_identity, "QUELLOX_SIGN_PASSWORD": "wrong"},
                     build=tmp_path / "build")
    assert result.returncode == 1
    assert "cannot be read with QUELLOX_SIGN_PASSWORD" in result.stderr
    assert not (tmp_path / "out").exists()


def pinned_fingerprint():
    """The signer pin the release configured its build with."""
    cache = (BUILD / "CMakeCache.txt").read_text()
    return re.search(r"^QUELLOX_SIGNER_SHA256:\w+=(.*)$", cache, re.M).group(1)


def test_a_release_gives_signed_copies_that_reach_the_maker(tmp_path, maker_identity, signing_identity, run, server):
    out = tmp_path / "partners"
    result = release(EXAMPLE_LIST, out, env=dict(MAKER, **maker_identity))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "dry run" not in result.stdout
    assert pinned_fingerprint() == fingerprint(signing_identity[0])
    copies = sorted(out.iterdir())
    assert [c.name for c in copies] == ["qlx-setup_spring-news.exe", "qlx_E12-setup_forum.exe", "qlx_E40-setup.exe"]
    for copy in copies:
        assert osslsigncode_verifies(copy, signing_identity), copy.name
        assert trusted(copy), copy.name
    assert read_back(out / "qlx_E12-setup_forum.exe") == {"IsValid": "1", "cookie": "forum-2026", "partner": "p23",
                                                          "traffic": "t2"}

    # The copy asks the maker's address for the setup program, signed by the
    # maker, and hands its own values to it. The release is the shipped
    # 32-bit installer, whatever machine builds it: running it needs one that
    # runs 32-bit programs natively (under emulation its download fails by a
    # fault of the emulator: docs/building.md).
    if x86_mode() != "native":
        pytest.skip("the released 32-bit copy is not run: this machine runs no 32-bit programs natively")
    installer = run(str(out / "qlx_E12-setup_forum.exe")).start("/SkipStart")
    assert installer.wait() == 0
    gets = [r["url"] for r in server.requests if r["method"] == "GET"]
    assert gets and set(gets) <= {"http://download.maker.test:80/files/quellox-setup.exe",
                                  "http://download.maker.test:80/files/source/b169/quellox-setup.exe"}
    assert {r["url"] for r in server.requests if r["method"] == "POST"} == {"http://analytics.maker.test:80/collect"}
    [line] = installer.setup_runs()
    assert ' /TestsErrorCode:"E12" ' in line and line.rstrip().endswith(' /ga:"forum"')


@pytest.fixture
def token(tmp_path):
    """A software token (SoftHSM) holding a signing key, its certificate in a file."""
    (tmp_path / "tokens").mkdir()
    conf = tmp_path / "softhsm2.conf"
    conf.write_text("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n" % (tmp_path / "tokens"))
    env = dict(os.environ, SOFTHSM2_CONF=str(conf))
    subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", "maker", "--pin", "1234", "--so-pin", "5678"],
                   env=env, check=True, capture_output=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=Quellox Token Publisher", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", str(tmp_path / "key.pem"), "-out", str(tmp_path / "cert.pem")],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", str(tmp_path / "key.pem"),
                    "-out", str(tmp_path / "key8.pem")], check=True, capture_output=True)
    subprocess.run(["softhsm2-util", "--import", str(tmp_path / "key8.pem"), "--token", "maker", "--label", "signing",
                    "--id", "01", "--pin", "1234"], env=env, check=True, capture_output=True)
    (tmp_path / "key.pem").unlink()
    (tmp_path / "key8.pem").unlink()
    return tmp_path / "cert.pem", {
        "SOFTHSM2_CONF": str(conf),
        "QUELLOX_SIGN_PKCS11_MODULE": "/usr/lib/softhsm/libsofthsm2.so",
        "QUELLOX_SIGN_PKCS11_KEY": "pkcs11:token=maker;object=signing;type=private",
        "QUELLOX_SIGN_CERTS": str(tmp_path / "cert.pem"),
        "QUELLOX_SIGN_PASSWORD": "1234",
        "QUELLOX_SIGN_CAFILE": str(tmp_path / "cert.pem"),
    }


def test_a_token_signs_the_release(tmp_path, token):
    cert, settings = token
    out = tmp_path / "partners"
    result = release(EXAMPLE_LIST, out, env=dict(MAKER, **settings))
    assert result.returncode == 0, result.stdout + result.stderr
    assert pinned_fingerprint() == fingerprint(cert)
    copies = list(out.iterdir())
    assert len(copies) == 3
    for copy in copies:
        assert osslsigncode_verifies(copy, (cert, None)), copy.name
        assert trusted(copy), copy.name


def test_a_dry_run_rehearses_with_the_example_values_and_never_replaces_a_copy(tmp_path):
    out = tmp_path / "partners"
    result = release("--dry-run", EXAMPLE_LIST, out)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "do not ship them" in result.stdout
    cert = BUILD / "throwaway-cert.pem"
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    assert len(before) == 3
    for copy in out.iterdir():
        assert osslsigncode_verifies(copy, (cert, None)), copy.name

    result = release("--dry-run", EXAMPLE_LIST, out)
    assert result.returncode == 1
    assert "already exists" in result.stderr and "nothing was built" in result.stderr
    assert "building the installer" not in result.stdout
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


def test_help_exits_0_with_the_usage_on_standard_output():
    result = release("--help")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith("usage: scripts/release.sh [--dry-run] [--force] LIST OUTDIR\n")


def test_every_missing_value_is_reported_in_one_run(tmp_path):
    result = release(EXAMPLE_LIST, tmp_path / "out", env={"QUELLOX_TRACKING_ID": "UA-00000000-0"},
                     build=tmp_path / "build")
    assert result.returncode == 1
    for message in ["QUELLOX_DOWNLOAD_URL is not set", "QUELLOX_LICENSE_URL is not set",
                    "QUELLOX_ANALYTICS_URL is not set", "is the placeholder tracking id"]:
        assert message in result.stderr
    assert not (tmp_path / "build").exists()


def early(result):
    """The run stopped before configuring or building the installer."""
    return "configuring" not in result.stdout and "building the installer" not in result.stdout


def test_a_bad_list_or_an_occupied_outdir_is_refused_before_the_build(tmp_path, maker_identity):
    bad = tmp_path / "bad.csv"
    bad.write_text("error_code,linker,cookie\nE1,a b,c\n,,\n")
    result = release(bad, tmp_path / "out", env=dict(MAKER, **maker_identity))
    assert result.returncode == 1 and early(result), result.stdout
    assert "%s:2: linker" % bad in result.stderr and "%s:3: every cell" % bad in result.stderr
    assert not (tmp_path / "out").exists()

    out = tmp_path / "occupied"
    out.mkdir()
    (out / "qlx_E12-setup_forum.exe").write_bytes(b"an earlier release")
    result = release(EXAMPLE_LIST, out, env=dict(MAKER, **maker_identity))
    assert result.returncode == 1 and early(result), result.stdout
    assert "qlx_E12-setup_forum.exe already exists" in result.stderr and "--force" in result.stderr
    assert (out / "qlx_E12-setup_forum.exe").read_bytes() == b"an earlier release"


def test_a_self_signed_certificate_without_cafile_is_refused_before_the_build_with_a_hint(tmp_path, maker_identity):
    identity = {k: v for k, v in maker_identity.items() if k != "QUELLOX_SIGN_CAFILE"}
    result = release(EXAMPLE_LIST, tmp_path / "out", env=dict(MAKER, **identity))
    assert result.returncode == 1 and early(result), result.stdout
    assert "set QUELLOX_SIGN_CAFILE" in result.stderr


def test_a_wrong_token_pin_is_refused_before_the_build(tmp_path, token):
    _, settings = token
    result = release(EXAMPLE_LIST, tmp_path / "out", env={**MAKER, **settings, "QUELLOX_SIGN_PASSWORD": "9999"})
    assert result.returncode == 1 and early(result), result.stdout
    assert "the signing identity cannot sign" in result.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("flags, override, message", [
    ("login required, token initialized, PIN initialized, user PIN final try", None, "has one try left"),
    ("login required, token initialized, PIN initialized, user PIN locked", None, "user PIN is locked"),
    # Told to spend the last try, the release goes on to the rehearsal.
    ("login required, token initialized, PIN initialized, user PIN final try", "1", "the signing identity cannot sign"),
], ids=["final-try", "locked", "final-try-spent"])
def test_a_token_near_its_lock_is_refused_before_any_pin_is_tried(tmp_path, token, flags, override, message):
    # OpenSC's pkcs11-tool as the token reports itself: another token first.
    tools = tmp_path / "tools"
    tools.mkdir()
    (tools / "pkcs11-tool").write_text(
        "#!/bin/sh\ncat <<'EOF'\nAvailable slots:\n"
        "Slot 0 (0x1): other\n  token label        : spare\n  token flags        : user PIN locked\n"
        "Slot 1 (0x2): maker\n  token label        : maker\n  token flags        : %s\nEOF\n" % flags)
    (tools / "pkcs11-tool").chmod(0o755)
    _, settings = token
    env = {**MAKER, **settings, "QUELLOX_SIGN_PASSWORD": "9999", "PATH": str(tools) + ":" + os.environ["PATH"]}
    if override:
        env["QUELLOX_SIGN_PIN_FINAL_TRY"] = override
    result = release(EXAMPLE_LIST, tmp_path / "out", env=env)
    assert result.returncode == 1 and early(result), result.stdout
    assert message in result.stderr, result.stderr
    assert not (tmp_path / "out").exists()

