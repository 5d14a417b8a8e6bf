"""quellox-stamp batch on a real signed installer: a partner list gives
signed, stamped and correctly named copies that the installer reads back and
passes on; a bad list writes nothing and names its line."""
import pathlib
import subprocess

import pytest

from conftest import BIN, probe_output, run_wine, sign, winpath
from test_stamp import STAMP, osslsigncode_verifies, read_back, stamp, trusted

EXAMPLE_LIST = pathlib.Path(__file__).resolve().parents[2] / "examples/partners.csv"


def batch(*args):
    return subprocess.run([str(STAMP), "batch", *map(str, args)], capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def signed_installer(tmp_path_factory, signing_identity):
    return sign(signing_identity, BIN / "QuelloxSetup.exe", tmp_path_factory.mktemp("installer") / "QuelloxSetup.exe")


@pytest.fixture(scope="module")
def release(tmp_path_factory, signed_installer):
    out = tmp_path_factory.mktemp("release") / "partners"
    result = batch(signed_installer, EXAMPLE_LIST, out)
    assert result.returncode == 0, result.stderr
    return out, result.stdout


EXPECTED = {
    "qlx-setup_spring-news.exe": {"cookie": "spring sale", "partner": "p17", "traffic": "t9"},
    "qlx_E12-setup_forum.exe": {"cookie": "forum-2026", "partner": "p23", "traffic": "t2"},
    "qlx_E40-setup.exe": {"cookie": "autumn", "partner": "p31", "traffic": ""},
}


def test_example_list_gives_three_signed_stamped_named_copies(release, signing_identity):
    out, stdout = release
    assert sorted(p.name for p in out.iterdir()) == sorted(EXPECTED)
    assert len(stdout.splitlines()) == 3
    for name, values in EXPECTED.items():
        copy = out / name
        assert osslsigncode_verifies(copy, signing_identity), name
        assert trusted(copy), name
        assert read_back(copy) == dict(values, IsValid="1"), name
        assert any(line.startswith(str(copy) + " ") and 'cookie="%s"' % values["cookie"] in line
                   for line in stdout.splitlines()), name


def test_a_copy_names_itself_and_hands_its_values_to_the_setup_program(release, run):
    out, _ = release
    installer = run(str(out / "qlx_E12-setup_forum.exe")).start("/SkipStart")
    assert installer.wait() == 0
    [line] = installer.setup_runs()
    assert ' /TestsErrorCode:"E12" ' in line
    assert ' /Campaign:"forum-2026-affiliate_31095-ab_afterinstall_' in line
    assert line.rstrip().endswith(' /ga:"forum"')


def test_a_stamped_startup_reads_the_copy_name_as_the_installer_does(tmp_path, signing_identity):
    probe = sign(signing_identity, BIN / "startup_probe.exe", tmp_path / "probe.exe")
    listing = tmp_path / "list.csv"
    listing.write_text("linker,error_code,cookie\nv1.2,E 7,c\n")
    out = tmp_path / "out"
    assert batch(probe, listing, out).returncode == 0
    settings = probe_output(run_wine(out / "qlx_E 7-setup_v1.2.exe"))
    assert (settings["ErrorCode"], settings["GAParam"]) == ("E 7", "v1.2")
    assert settings["Campaign"].startswith("c-affiliate_31095-ab_afterinstall_")


HEADER = "error_code,linker,cookie,partner,traffic\n"
GOOD = "E1,first,c1,p1,t1\n"


@pytest.mark.parametrize(
    "text, line, message",
    [
        ("error_code,linker,cookie,partner,trafic\nE1,a,b,c,d\n", 1, 'unknown column "trafic"'),
        ("cookie,cookie\na,b\n", 1, 'column "cookie" appears twice'),
        (HEADER + GOOD + "E2,second,c2,p2\n", 3, '4 cells in "E2,second,c2,p2", the header has 5'),
        (HEADER + GOOD + "E2,second,c2,p2,t2,extra\n", 3, "6 cells"),
        (HEADER + GOOD + 'E2,second,"say ""hi""",p2,t2\n', 3, 'cookie "say "hi"" refused: double quotes'),
        (HEADER + GOOD + "E2,second,c2,%s,t2\n" % ("p" * 101), 3, "partner \"%s\" refused: longer than 100" % ("p" * 101)),
        (HEADER + GOOD + "E2,second,c2,p2,caf\u00e9\n", 3, 'traffic "caf\\xC3\\xA9" refused: only printable ASCII'),
        (HEADER + GOOD + "E2,second ,c2,p2,t2\n", 3, 'linker "second " refused: a blank at either end'),
        (HEADER + GOOD + "E2,back\\slash,c2,p2,t2\n", 3, 'linker "back\\slash" refused'),
        (HEADER + GOOD + "E2,a/b,c2,p2,t2\n", 3, 'linker "a/b" refused: "/" cannot stand in a file name'),
        (HEADER + GOOD + "E2:x,b,c2,p2,t2\n", 3, 'error_code "E2:x" refused: ":" cannot stand in a file name'),
        (HEADER + GOOD + "E2-setup,b,c2,p2,t2\n", 3, 'error_code "E2-setup" refused: the installer reads "E2"'),
        (HEADER + GOOD + "E2,two words,c2,p2,t2\n", 3, 'linker "two words" refused: the installer reads "two"'),
        (HEADER + GOOD + "\n" + "E1,first,other,p,t\n", 4, 'the file name "qlx_E1-setup_first.exe" is also that of line 2'),
        (HEADER + GOOD + "e1,FIRST,other,p,t\n", 3, "is also that of line 2"),
        (HEADER + GOOD + 'E2,"open,c2,p2,t2\n', 3, "a quoted cell has no closing quote"),
    ],
    ids=["unknown-column", "column-twice", "too-few-cells", "too-many-cells", "quote", "too-long", "not-ascii",
         "blank-at-end", "backslash", "slash-in-name", "colon-in-name", "setup-in-error-code", "blank-in-linker",
         "same-file-name", "same-name-other-case", "open-quote"],
)
def test_a_bad_list_writes_nothing_and_names_the_line(signed_installer, tmp_path, text, line, message):
    listing = tmp_path / "partners.csv"
    listing.write_bytes(text.encode("utf-8"))
    out = tmp_path / "out"
    out.mkdir()
    result = batch(signed_installer, listing, out)
    assert result.returncode == 1
    assert "%s:%d: " % (listing, line) in result.stderr
    assert message in result.stderr
    assert list(out.iterdir()) == []


def test_an_existing_copy_is_never_replaced(signed_installer, tmp_path):
    listing = tmp_path / "partners.csv"
    listing.write_text(HEADER + GOOD + "E2,second,c2,p2,t2\n")
    out = tmp_path / "out"
    out.mkdir()
    (out / "qlx_E2-setup_second.exe").write_bytes(b"an earlier release")
    result = batch(signed_installer, listing, out)
    assert result.returncode == 1
    assert "%s:3: " % listing in result.stderr and "qlx_E2-setup_second.exe already exists" in result.stderr
    assert [p.name for p in out.iterdir()] == ["qlx_E2-setup_second.exe"]
    assert (out / "qlx_E2-setup_second.exe").read_bytes() == b"an earlier release"


def test_an_unsigned_installer_writes_nothing(tmp_path):
    listing = tmp_path / "partners.csv"
    listing.write_text(HEADER + GOOD)
    out = tmp_path / "out"
    result = batch(BIN / "QuelloxSetup.exe", listing, out)
    assert result.returncode == 1
    assert "QuelloxSetup.exe: the file is not signed\n" in result.stderr
    assert not out.exists() or list(out.iterdir()) == []




def write_list(tmp_path, text, name="partners.csv"):
    listing = tmp_path / name
    listing.write_text(text)
    return listing


def test_a_stamping_name_in_outdir_is_never_written_through(signed_installer, tmp_path):
    victim = tmp_path / "victim.txt"
    victim.write_text("someone else's text\n")
    out = tmp_path / "out"
    out.mkdir()
    (out / "qlx_E40-setup.exe.stamping").symlink_to(victim)
    result = batch(signed_installer, write_list(tmp_path, "error_code,cookie\nE40,autumn\n"), out)
    assert result.returncode == 0, result.stderr
    assert victim.read_text() == "someone else's text\n"
    copy = out / "qlx_E40-setup.exe"
    assert not copy.is_symlink() and stamp_values(copy) == "cookie=autumn\npartner=\ntraffic=\n"
    assert (out / "qlx_E40-setup.exe.stamping").is_symlink()
    assert sorted(p.name for p in out.iterdir()) == ["qlx_E40-setup.exe", "qlx_E40-setup.exe.stamping"]


def stamp_values(path):
    return subprocess.run([str(STAMP), "show", str(path)], capture_output=True, text=True, timeout=30).stdout


def test_header_order_decides_the_columns(signed_installer, tmp_path):
    out = tmp_path / "out"
    assert batch(signed_installer, write_list(tmp_path, "linker,error_code,cookie\nv1.2,E7,c\n"), out).returncode == 0
    assert [p.name for p in out.iterdir()] == ["qlx_E7-setup_v1.2.exe"]


@pytest.mark.parametrize("rows, faults", [
    (GOOD + ",,,,\n", [(3, "every cell of the row is empty")]),
    (GOOD + ",,,,\n" + '"",,,,\n', [(3, "every cell of the row is empty"), (4, "every cell of the row is empty")]),
], ids=["one-empty-row", "two-empty-rows"])
def test_rows_of_empty_cells_are_refused_by_line(signed_installer, tmp_path, rows, faults):
    listing = write_list(tmp_path, HEADER + rows)
    result = batch(signed_installer, listing, tmp_path / "out")
    assert result.returncode == 1
    assert result.stderr.splitlines() == ["quellox-stamp: %s:%d: %s (a spreadsheet's trailing row?); remove it"
                                          % (listing, line, why) for line, why in faults]
    assert not (tmp_path / "out").exists()


def test_a_name_differing_only_in_case_from_a_file_in_outdir_is_refused(signed_installer, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "QLX_E1-SETUP_FIRST.EXE").write_bytes(b"an earlier release")
    listing = write_list(tmp_path, HEADER + GOOD)
    result = batch(signed_installer, listing, out)
    assert result.returncode == 1
    assert "%s:2: " % listing in result.stderr and "only in letter case" in result.stderr
    assert [p.name for p in out.iterdir()] == ["QLX_E1-SETUP_FIRST.EXE"]


def test_a_rerun_keeps_identical_copies_and_force_replaces_others(signed_installer, tmp_path):
    out = tmp_path / "out"
    listing = write_list(tmp_path, HEADER + GOOD + "E2,second,c2,p2,t2\n")
    assert batch(signed_installer, listing, out).returncode == 0
    first = {p.name: p.stat().st_ino for p in out.iterdir()}

    again = batch(signed_installer, listing, out)
    assert again.returncode == 0, again.stderr
    assert again.stdout.count("(identical copy already there, kept)") == 2
    assert {p.name: p.stat().st_ino for p in out.iterdir()} == first

    other = write_list(tmp_path, HEADER + "E1,first,changed,p1,t1\nE2,second,c2,p2,t2\n", "changed.csv")
    refused = batch(signed_installer, other, out)
    assert refused.returncode == 1
    assert "%s:2: " % other in refused.stderr and "with other contents and is not replaced (--force replaces it)" \
        in refused.stderr
    assert stamp_values(out / "qlx_E1-setup_first.exe") == "cookie=c1\npartner=p1\ntraffic=t1\n"

    forced = batch("--force", signed_installer, other, out)
    assert forced.returncode == 0, forced.stderr
    assert stamp_values(out / "qlx_E1-setup_first.exe") == "cookie=changed\npartner=p1\ntraffic=t1\n"
    assert (out / "qlx_E2-setup_second.exe").stat().st_ino == first["qlx_E2-setup_second.exe"]
    assert sorted(p.name for p in out.iterdir()) == sorted(first)


@pytest.mark.parametrize("with_installer", [True, False], ids=["with-installer", "list-and-outdir"])
def test_check_writes_nothing_and_refuses_what_the_batch_would(signed_installer, tmp_path, with_installer):
    installer = [signed_installer] if with_installer else []
    out = tmp_path / "new/out"
    listing = write_list(tmp_path, HEADER + GOOD)
    result = batch("--check", *installer, listing, out)
    assert result.returncode == 0, result.stderr
    assert "1 row accepted: 1 to write" in result.stdout and "nothing was written" in result.stdout
    assert not (tmp_path / "new").exists()

    bad = write_list(tmp_path, HEADER + "E1,a b,c,p,t\n", "bad.csv")
    assert "%s:2: " % bad in batch("--check", *installer, bad, out).stderr

    out.mkdir(parents=True)
    (out / "qlx_E1-setup_first.exe").write_bytes(b"an earlier release")
    occupied = batch("--check", *installer, listing, out)
    assert occupied.returncode == 1 and "already exists" in occupied.stderr
    assert batch("--check", "--force", *installer, listing, out).returncode == 0
    assert [p.name for p in out.iterdir()] == ["qlx_E1-setup_first.exe"]


def test_check_refuses_an_installer_it_cannot_stamp_naming_the_installer(tmp_path):
    result = batch("--check", BIN / "QuelloxSetup.exe", write_list(tmp_path, HEADER + GOOD), tmp_path / "out")
    assert result.returncode == 1
    assert result.stderr == "quellox-stamp: %s: the file is not signed\n" % (BIN / "QuelloxSetup.exe")


def test_a_list_on_standard_input(signed_installer, tmp_path):
    out = tmp_path / "out"
    result = subprocess.run([str(STAMP), "batch", str(signed_installer), "-", str(out)], input=HEADER + GOOD,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert [p.name for p in out.iterdir()] == ["qlx_E1-setup_first.exe"]
    bad = subprocess.run([str(STAMP), "batch", str(signed_installer), "-", str(out)], input=HEADER + ",,,,\n",
                         capture_output=True, text=True, timeout=60)
    assert "(standard input):2: every cell of the row is empty" in bad.stderr


def test_a_failed_write_says_why_and_leaves_nothing_it_made(signed_installer, tmp_path):
    # A copy's write fails part-way (at a file size limit, as on a full
    # disk): the private folder and the folders the batch created are removed.
    out = tmp_path / "new/deeper/out"
    listing = write_list(tmp_path, HEADER + GOOD + "E2,second,c2,p2,t2\n")
    size = signed_installer.stat().st_size
    result = stamp("batch", signed_installer, listing, out, file_size_limit=size // 2)
    assert result.returncode == 1
    assert "cannot be written: File too large; no copy was kept" in result.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["partners.csv"]

    # An OUTDIR that was there stays, and holds what it held.
    out.mkdir(parents=True)
    (out / "notes.txt").write_text("mine\n")
    result = stamp("batch", signed_installer, listing, out, file_size_limit=size // 2)
    assert result.returncode == 1
    assert [p.name for p in out.iterdir()] == ["notes.txt"]


def test_an_outdir_that_cannot_be_made_says_why(signed_installer, tmp_path):
    (tmp_path / "file").write_text("x")
    result = batch(signed_installer, write_list(tmp_path, HEADER + GOOD), tmp_path / "file/out")
    assert result.returncode == 1
    assert "%s: cannot be created: Not a directory; no copy was kept" % (tmp_path / "file/out") in result.stderr
    assert (tmp_path / "file").read_text() == "x"
    result = batch(signed_installer, write_list(tmp_path, HEADER + GOOD), tmp_path / "file")
    assert result.returncode == 1 and "%s: is not a folder" % (tmp_path / "file") in result.stderr
