"""The stamping tool on real signed installers: the signature still
verifies (osslsigncode and Wine's WinVerifyTrust), the program's reader
reads the values, and refused files stay untouched."""
import os
import pathlib
import resource
import shutil
import signal
import subprocess

import pytest

from conftest import BIN, probe_output, run_wine, sign, winpath

STAMP = pathlib.Path(os.environ.get("QUELLOX_HOST_BIN", BIN.parents[1] / "host/bin")) / "quellox-stamp"


def stamp(*args, file_size_limit=None, input=None):
    def limit():
        # Writes past the limit fail with EFBIG, as on a full disk, instead of
        # ending the process.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
    return subprocess.run([str(STAMP), *map(str, args)], capture_output=True, text=True, timeout=60, input=input,
                          preexec_fn=limit if file_size_limit else None)


def osslsigncode_verifies(path, identity):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", str(identity[0]), "-in", str(path)],
                            capture_output=True, text=True, timeout=60)
    return result.returncode == 0 and "Succeeded" in result.stdout


def read_back(path):
    return probe_output(run_wine(BIN / "installer_probe.exe", "read", winpath(path)))


def trusted(path):
    return probe_output(run_wine(BIN / "installer_probe.exe", "verify", winpath(path)))["Trusted"] == "1"


@pytest.fixture
def signed_installer(tmp_path, signing_identity):
    return sign(signing_identity, BIN / "QuelloxSetup.exe", tmp_path / "QuelloxSetup.exe")


def test_stamping_keeps_the_signature_and_the_reader_reads_the_values(signed_installer, signing_identity):
    unsigned_size = signed_installer.stat().st_size
    assert stamp("set", signed_installer, "--cookie", "spring sale", "--partner", "p-17", "--traffic", "t:9").returncode == 0
    first_size = signed_installer.stat().st_size
    assert first_size > unsigned_size and first_size % 8 == 0
    assert osslsigncode_verifies(signed_installer, signing_identity)
    assert trusted(signed_installer)
    assert read_back(signed_installer) == {"IsValid": "1", "cookie": "spring sale", "partner": "p-17", "traffic": "t:9"}
    assert stamp("show", signed_installer).stdout == "cookie=spring sale\npartner=p-17\ntraffic=t:9\n"

    # A second stamping rewrites in place; a value not given keeps its own.
    assert stamp("set", signed_installer, "--cookie", "autumn").returncode == 0
    assert signed_installer.stat().st_size == first_size
    assert osslsigncode_verifies(signed_installer, signing_identity)
    assert trusted(signed_installer)
    assert read_back(signed_installer)["cookie"] == "autumn"
    assert stamp("show", signed_installer).stdout == "cookie=autumn\npartner=p-17\ntraffic=t:9\n"


def test_blank_stamp_reads_as_empty_values(signed_installer):
    assert stamp("set", signed_installer).returncode == 0
    assert read_back(signed_installer) == {"IsValid": "1", "cookie": "", "partner": "", "traffic": ""}


@pytest.mark.shipped
def test_the_stamped_program_uses_the_stamped_campaign(tmp_path, signing_identity):
    probe = sign(signing_identity, BIN / "startup_probe.exe", tmp_path / "QuelloxSetup.exe")
    assert stamp("set", probe, "--cookie", "from-the-block").returncode == 0
    settings = probe_output(run_wine(probe))
    assert settings["Campaign"].startswith("from-the-block-affiliate_31095-ab_afterinstall_")


def test_block_follows_existing_unauthenticated_attributes(signed_installer, tmp_path, signing_identity):
    # A nested signature is kept among the signer's unauthenticated attributes.
    cert, key = signing_identity
    nested = tmp_path / "nested.exe"
    subprocess.run(["osslsigncode", "sign", "-nest", "-certs", str(cert), "-key", str(key), "-h", "sha1",
                    "-in", str(signed_installer), "-out", str(nested)], check=True, capture_output=True)
    assert stamp("set", nested, "--cookie", "nested").returncode == 0
    assert osslsigncode_verifies(nested, signing_identity)
    assert trusted(nested)
    assert read_back(nested)["cookie"] == "nested"


def test_windows_build_of_the_tool_reads_the_same(signed_installer):
    stamp("set", signed_installer, "--cookie", "c1", "--partner", "p1", "--traffic", "t1")
    result = run_wine(BIN / "quellox-stamp.exe", "show", winpath(signed_installer))
    assert result.stdout.decode().replace("\r\n", "\n") == "cookie=c1\npartner=p1\ntraffic=t1\n"


def test_program_writes_its_own_block_with_the_same_code(signed_installer, signing_identity):
    out = probe_output(run_wine(BIN / "installer_probe.exe", "stamp", winpath(signed_installer), "c", "p", "t"))
    assert out["Updated"] == "1"
    assert osslsigncode_verifies(signed_installer, signing_identity)
    assert stamp("show", signed_installer).stdout == "cookie=c\npartner=p\ntraffic=t\n"


def truncated(path):
    data = path.read_bytes()
    path.write_bytes(data[:-100])


def not_signed(path):
    shutil.copyfile(BIN / "QuelloxSetup.exe", path)


def not_a_pe(path):
    path.write_bytes(b"just some text" * 500)


def trailing_bytes(path):
    with open(path, "ab") as f:
        f.write(b"\0" * 16)


@pytest.mark.parametrize(
    "damage, args, message",
    [
        (not_signed, ["--cookie", "x"], "not signed"),
        (truncated, ["--cookie", "x"], "truncated"),
        (trailing_bytes, ["--cookie", "x"], "does not end the file"),
        (not_a_pe, ["--cookie", "x"], "not a PE"),
        (None, ["--cookie", "x" * 101], "longer than 100"),
        (None, ["--partner", 'say "hi"'], "quotes"),
        (None, ["--traffic", "tab\there"], "printable ASCII"),
        (None, ["--cookie", "caf\u00e9"], "printable ASCII"),
        (None, ["--cookie", " padded"], "blank"),
    ],
)
def test_refused_files_and_values_leave_the_file_untouched(signed_installer, damage, args, message):
    if damage:
        damage(signed_installer)
    before = signed_installer.read_bytes()
    result = stamp("set", signed_installer, *args)
    assert result.returncode != 0
    assert message in result.stderr
    assert signed_installer.read_bytes() == before
    assert not pathlib.Path(str(signed_installer) + ".stamping").exists()


def values_of(path):
    return stamp("show", path).stdout


def stamp_with_the_tool(path):
    assert stamp("set", path, "--cookie", "c", "--partner", "p", "--traffic", "t").returncode == 0


def stamp_with_the_program(path):
    # TSignaturePatcher::UpdateFile, the installer's own writer.
    out = probe_output(run_wine(BIN / "installer_probe.exe", "stamp", winpath(path), "c", "p", "t"))
    assert out["Updated"] == "1"


@pytest.mark.parametrize("writer", [stamp_with_the_tool, stamp_with_the_program], ids=["set", "program"])
@pytest.mark.parametrize("standing", ["link", "file"])
def test_stamping_never_writes_through_or_consumes_a_stamping_name(signed_installer, tmp_path, standing, writer):
    victim = tmp_path / "victim.txt"
    victim.write_text("someone else's text\n")
    beside = pathlib.Path(str(signed_installer) + ".stamping")
    if standing == "link":
        beside.symlink_to(victim)
    else:
        beside.write_text("someone else's file\n")
    writer(signed_installer)
    assert values_of(signed_installer) == "cookie=c\npartner=p\ntraffic=t\n"
    assert victim.read_text() == "someone else's text\n"
    assert beside.is_symlink() if standing == "link" else beside.read_text() == "someone else's file\n"
    assert not signed_installer.is_symlink()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["QuelloxSetup.exe", beside.name, "victim.txt"])

    # A refused stamping leaves the name standing as well.
    not_signed(signed_installer)
    assert stamp("set", signed_installer, "--cookie", "c").returncode == 1
    assert beside.exists()


@pytest.mark.parametrize("mode", [0o600, 0o755, 0o640])
def test_set_keeps_the_files_mode(signed_installer, mode):
    signed_installer.chmod(mode)
    assert stamp("set", signed_installer, "--cookie", "c").returncode == 0
    assert signed_installer.stat().st_mode & 0o7777 == mode


def test_set_refuses_a_symbolic_link_and_leaves_both_alone(signed_installer, tmp_path):
    link = tmp_path / "link.exe"
    link.symlink_to(signed_installer)
    before = signed_installer.read_bytes()
    result = stamp("set", link, "--cookie", "c")
    assert result.returncode == 1
    assert "is a symbolic link" in result.stderr and "name the file it points to" in result.stderr
    assert link.is_symlink() and signed_installer.read_bytes() == before


def test_show_tells_signed_not_stamped_from_not_signed(signed_installer, tmp_path):
    result = stamp("show", signed_installer)
    assert (result.returncode, result.stdout) == (3, "")
    assert "is signed but not stamped yet" in result.stderr
    unsigned = tmp_path / "unsigned.exe"
    not_signed(unsigned)
    result = stamp("show", unsigned)
    assert result.returncode == 1
    assert "carries no parameter block: the file is not signed" in result.stderr


def test_read_and_write_errors_say_why(signed_installer, tmp_path):
    for path, reason in [(tmp_path / "missing.exe", "cannot be read: No such file or directory"),
                         (tmp_path, "cannot be read: Is a directory")]:
        for args in (["show", path], ["set", path, "--cookie", "c"]):
            result = stamp(*args)
            assert result.returncode == 1 and "%s: %s" % (path, reason) in result.stderr, args
    # A write that fails part-way (here at a file size limit, as on a full
    # disk) names the system's reason and leaves the file and its folder as
    # they were.
    before = signed_installer.read_bytes()
    result = stamp("set", signed_installer, "--cookie", "c", file_size_limit=100000)
    assert result.returncode == 1
    assert "cannot be written: File too large" in result.stderr
    assert signed_installer.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["QuelloxSetup.exe"]


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_permission_errors_say_why(signed_installer, tmp_path):
    signed_installer.chmod(0o200)
    assert "cannot be read: Permission denied" in stamp("show", signed_installer).stderr
    signed_installer.chmod(0o644)
    tmp_path.chmod(0o555)
    try:
        assert "cannot be created: Permission denied" in stamp("set", signed_installer, "--cookie", "c").stderr
    finally:
        tmp_path.chmod(0o755)


@pytest.mark.parametrize("args, code, out, err", [
    (["--help"], 0, "quellox-stamp batch [--check] [--force] INSTALLER LIST OUTDIR", ""),
    (["--version"], 0, "quellox-stamp 1.6.9\n", ""),
    ([], 2, "", "quellox-stamp: no command given\nusage: "),
    (["frob"], 2, "", 'quellox-stamp: unknown command "frob"\nusage: '),
    (["show"], 2, "", "quellox-stamp: show needs exactly one FILE\nusage: "),
    (["set", "f", "--colour", "red"], 2, "", 'quellox-stamp: unknown option "--colour" for set\nusage: '),
    (["set", "f", "--cookie"], 2, "", "quellox-stamp: --cookie needs a value\nusage: "),
    (["batch", "a", "b"], 2, "", "quellox-stamp: batch needs INSTALLER, LIST and OUTDIR (2 given)\nusage: "),
    (["batch", "--quiet", "a", "b", "c"], 2, "", 'quellox-stamp: unknown option "--quiet" for batch\nusage: '),
], ids=["help", "version", "nothing", "unknown-command", "show-without-file", "unknown-option", "option-without-value",
        "batch-two-arguments", "batch-unknown-option"])
def test_help_version_and_wrong_arguments(args, code, out, err):
    result = subprocess.run([str(STAMP), *args], capture_output=True, text=True, timeout=30)
    assert result.returncode == code
    assert out in result.stdout if out else result.stdout == ""
    assert result.stderr.startswith(err) if err else result.stderr == ""


@pytest.fixture(scope="module")
def signed_64bit_program(tmp_path_factory, signing_identity):
    """A real 64-bit (PE32+) Windows program built by the x86_64 mingw-w64
    compiler and signed by osslsigncode."""
    folder = tmp_path_factory.mktemp("pe32plus")
    (folder / "hello.c").write_text("#include <stdio.h>\nint main(void) { puts(\"hello\"); return 0; }\n")
    subprocess.run(["x86_64-w64-mingw32-gcc-posix", "-O1", "-o", str(folder / "hello.exe"), str(folder / "hello.c")],
                   check=True, capture_output=True, timeout=120)
    assert b"PE\0\0\x64\x86" in (folder / "hello.exe").read_bytes()[:512]  # machine x86-64
    return sign(signing_identity, folder / "hello.exe", folder / "signed.exe")


def test_a_64bit_program_is_stamped_keeping_its_signature(signed_64bit_program, signing_identity, tmp_path):
    program = tmp_path / "hello.exe"
    shutil.copyfile(signed_64bit_program, program)
    assert stamp("show", program).returncode == 3
    for cookie in ("spring sale", "autumn"):  # the block added, then rewritten in place
        assert stamp("set", program, "--cookie", cookie, "--partner", "p64").returncode == 0
        assert osslsigncode_verifies(program, signing_identity)
        assert stamp("show", program).stdout == "cookie=%s\npartner=p64\ntraffic=\n" % cookie

    listing = tmp_path / "partners.csv"
    listing.write_text("error_code,linker,cookie,traffic\nE64,wide,c64,t64\n")
    result = stamp("batch", signed_64bit_program, listing, tmp_path / "out")
    assert result.returncode == 0, result.stderr
    copy = tmp_path / "out/qlx_E64-setup_wide.exe"
    assert osslsigncode_verifies(copy, signing_identity)
    assert stamp("show", copy).stdout == "cookie=c64\npartner=\ntraffic=t64\n"
