"""An installer built with a signer pin (QuelloxSetupPinned: the maker's
test certificate, with short waits) runs only the maker's own setup program.
Another publisher's setup, with an equally valid signature, is never run: the
attempt fails and deletes the file, and the next attempt follows."""
import pytest

from conftest import NETWORK_PATH, TOOL_BIN, not_emulated, sign


@pytest.mark.shipped
@not_emulated(NETWORK_PATH)
@pytest.mark.parametrize("publisher", ["maker", "other"])
def test_pinned_installer_runs_only_the_makers_setup(run, server, tmp_path, signing_identity, other_identity,
                                                     publisher):
    identity = signing_identity if publisher == "maker" else other_identity
    server.body = sign(identity, TOOL_BIN / "fake_setup.exe", tmp_path / "setup.exe").read_bytes()

    installer = run("QuelloxSetupPinned.exe").start("/SkipStart")
    assert installer.wait() == 0

    downloads = [r for r in server.requests if r["method"] == "GET"]
    if publisher == "maker":
        assert len(installer.setup_runs()) == 1
        assert len(downloads) == 1
        assert installer.events() == ["install_start", "install_finish"]
    else:
        assert installer.setup_runs() == []
        assert len(downloads) == 5
        # Each attempt downloaded from the first byte: the refused file was deleted.
        assert all("Range" not in r["headers"] for r in downloads)
        assert installer.events() == ["install_start", "install_cancel"]
    assert not installer.setup_file.exists()
