"""The probe that stands for the installer's download in the account of what
the emulator breaks (docs/building.md): where Wine runs the build
faithfully, its threads fetch every file and make every folder."""
from conftest import BIN, NETWORK_PATH, not_emulated, run_wine


@not_emulated(NETWORK_PATH)
def test_the_probe_fetches_every_file_beside_the_folder_calls(server):
    server.body = bytes(range(256)) * 1200
    result = run_wine(BIN / "emulation_probe.exe", "http://download.quellox.example/files/probe.exe", "5",
                      env={"http_proxy": server.proxy})
    assert result.returncode == 0, result.stdout
    assert result.stdout.decode().split() == ["failures=0"]
    assert len([r for r in server.requests if r["method"] == "GET"]) == 10
