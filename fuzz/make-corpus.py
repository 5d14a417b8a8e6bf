"""Writes the small starting corpus of the fuzz targets (fuzz/corpus/<target>/).
Run with /usr/bin/python3 from the repository; the files are committed."""
import pathlib
import struct
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
MARKERS = ["{00868EBA702F}", "{2E7E63583D84}", "{C5EE17DC10A5}"]


def tlv(tag, content):
    if len(content) < 0x80:
        return bytes([tag, len(content)]) + content
    return bytes([tag, 0x82]) + struct.pack(">H", len(content)) + content


def signed_pe(image_size=0x1000, unauthenticated=False):
    """A PE image with a certificate table holding a PKCS #7 skeleton."""
    pe = bytearray(image_size)
    pe[0:2] = b"MZ"
    struct.pack_into("<I", pe, 0x3C, 0x80)
    pe[0x80:0x84] = b"PE\0\0"
    pe[0x80 + 20] = 0xE0
    optional = 0x80 + 24
    struct.pack_into("<H", pe, optional, 0x10B)
    struct.pack_into("<I", pe, optional + 92, 16)
    integer = tlv(0x02, b"\x01")
    signer = integer + tlv(0x30, b"") + tlv(0x30, b"") + tlv(0x30, b"") + tlv(0x04, b"Z" * 64)
    if unauthenticated:
        signer += tlv(0xA1, tlv(0x30, tlv(0x06, b"\x2a\x03") + tlv(0x31, tlv(0x04, b"\x01\x02"))))
    signed_data = tlv(0x30, integer + tlv(0x31, b"") + tlv(0x30, tlv(0x06, b"\x2a\x86")) + tlv(0xA0, b"3" * 300)
                      + tlv(0x31, tlv(0x30, signer)))
    content_info = tlv(0x30, tlv(0x06, bytes.fromhex("2a864886f70d010702")) + tlv(0xA0, signed_data))
    padded = (8 + len(content_info) + 7) // 8 * 8
    certificate = (struct.pack("<IHH", padded, 0x0200, 0x0002) + content_info).ljust(padded, b"\0")
    struct.pack_into("<II", pe, optional + 96 + 32, len(pe), padded)
    return bytes(pe) + certificate


def stamped_tail(cookie="spring"):
    block = b""
    for marker, value in zip(MARKERS, (cookie, "p", "t")):
        block += b"\x1e\x81\xe4" + (marker + value.ljust(100)).encode("utf-16-le")
    return (b"x" * (4096 - len(block) - 4)) + block + b"\0" * 4


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def main():
    write("signature_block", "stamped-tail", stamped_tail())
    write("signature_block", "odd-tail", b"y" + stamped_tail()[:-1])
    write("stamp", "signed", signed_pe())
    write("stamp", "signed-with-attributes", signed_pe(unauthenticated=True))
    write("stamp", "signed-small-table", signed_pe(0x400))
    stamper = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else None
    if stamper:
        stamped = HERE / "corpus" / "stamp" / "stamped"
        stamped.write_bytes(signed_pe())
        subprocess.run([str(stamper), "set", str(stamped), "--cookie", "stamped-me"], check=True)
    for i, line in enumerate(['"C:\\Downloads\\qlx_E12-setup_abc (1).exe" /Campaign:"spring sale" -SkipStart',
                              'prog.exe "" /DownloadPath:http://a/b /OpenWebPage:x" /DIR=C:\\evil',
                              'p /RunApplication /HideTrayIcon:yes Campaign:x /Campaign:a:b']):
        write("arguments", "line-%d" % i, line.encode("utf-16-le"))


if __name__ == "__main__":
    main()
