"""Where the installer's bytes go (run by bench/size-report).

Reads one build's QuelloxSetup.exe and the linker map written beside it, and
prints the file's sections, its resources by name, the window's pictures by
display scale, and what each library and each object file brings into the
image. Given a second build (of an earlier
commit), every row also shows that build's figure and the change.

    size_report.py BUILD_DIR [--against BUILD_DIR LABEL] [--top N]
"""
import argparse
import collections
import pathlib
import re
import struct

RESOURCE_TYPES = {1: "CURSOR", 2: "BITMAP", 3: "ICON", 4: "MENU", 5: "DIALOG", 6: "STRING", 8: "FONT",
                  10: "RCDATA", 12: "GROUP_CURSOR", 14: "GROUP_ICON", 16: "VERSION", 24: "MANIFEST"}


class Image:
    """The section table and the resource directory of a PE file."""

    def __init__(self, path):
        self.data = pathlib.Path(path).read_bytes()
        data = self.data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise SystemExit(f"{path}: not a PE file")
        count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []  # (name, virtual size, raw size, raw offset, rva)
        table = optional + optional_size
        for i in range(count):
            raw_name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((raw_name.rstrip(b"\0").decode(), vsize, raw_size, raw_offset, rva))

    def offset(self, rva):
        for _, vsize, raw_size, raw_offset, start in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw_offset + rva - start
        raise ValueError(f"RVA {rva:#x} outside the sections")

    def section_rows(self):
        """Bytes of the file by section; headers and anything after the last
        section (a signature) make the rows add up to the file's size."""
        rows = [("headers", min(s[3] for s in self.sections if s[2]))]
        rows += [(name, raw_size) for name, _, raw_size, _, _ in self.sections]
        end = max(s[3] + s[2] for s in self.sections)
        if len(self.data) > end:
            rows.append(("after the sections", len(self.data) - end))
        return rows

    def resource_rows(self):
        """Each resource as TYPE/NAME with its data size."""
        if not self.resource_rva:
            return []
        base = self.offset(self.resource_rva)
        data = self.data

        def label(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", data, at)[0]
                return data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return None

        def entries(directory):
            named, numbered = struct.unpack_from("<12xHH", data, base + directory)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
                yield name, target

        rows = []
        for type_name, type_target in entries(0):
            kind = label(type_name) or RESOURCE_TYPES.get(type_name, str(type_name))
            for name, name_target in entries(type_target & 0x7FFFFFFF):
                title = label(name) or f"#{name}"
                size = 0
                for _, language_target in entries(name_target & 0x7FFFFFFF):
                    size += struct.unpack_from("<4xI", data, base + language_target)[0]
                rows.append((f"{kind}/{title}", size))
        return rows


def map_contributions(map_path):
    """Bytes of the image brought by each input file, from the linker's map:
    every input section placed in an output section that takes file space
    (all but .bss), by object file and by library."""
    text = pathlib.Path(map_path).read_text(errors="replace")
    text = text[text.index("Linker script and memory map"):]
    objects, libraries = collections.Counter(), collections.Counter()
    output = None
    pending = None
    for line in text.splitlines():
        m = re.match(r"^(\.\S+)(\s+0x[0-9a-f]+\s+0x[0-9a-f]+)?\s*$", line)
        if m:
            output, pending = m.group(1), None
            continue
        m = re.match(r"^ (\.\S+|COMMON)\s*$", line)
        if m:
            pending = m.group(1)
            continue
        m = re.match(r"^ (\.\S+|COMMON)?\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if not m or not (m.group(1) or pending):
            pending = None
            continue
        pending = None
        size, source = int(m.group(2), 16), m.group(3).strip()
        if output in (None, ".bss") or output.startswith(".debug") or not size:
            continue
        obj, lib = describe(source)
        objects[obj] += size
        libraries[lib] += size
    return objects, libraries


def describe(source):
    """The row names of one input file: the object (archive member or the
    program's own object, by its path in the source tree) and its library."""
    if source == "dll stuff":
        return "(linker: base relocations)", "(linker: base relocations)"
    member = re.match(r"^(.*)\((.*)\)$", source)
    if member:
        archive = pathlib.Path(member.group(1)).name
        return f"{archive}({member.group(2)})", archive
    if ".ltrans" in source:
        # One optimised object for all the program's units: a build with
        # -DQUELLOX_LTO=OFF shows each unit's share.
        return "(program code, optimised at link time)", "(program objects)"
    if source.endswith(".res"):
        return pathlib.Path(source).name, "(resources)"
    own = re.search(r"CMakeFiles/[^/]+\.dir/(.*)$", source)
    if own:
        return own.group(1), "(program objects)"
    return pathlib.Path(source).name, pathlib.Path(source).name


def art_by_scale(resources):
    """The window's pictures (PNG resources named NAME_SCALE) summed by
    display scale, and the icon's images, which serve every scale."""
    scales = collections.Counter()
    for name, size in resources:
        m = re.match(r"^PNG/.*_(\d+)$", name)
        if m:
            scales[f"pictures at {m.group(1)} %"] += size
        elif name.startswith("ICON/") or name.startswith("GROUP_ICON/"):
            scales["icon, every size"] += size
    return sorted(scales.items())


def translations(build):
    """Each language's texts as the build stored them (generated/texts.bin.sizes
    from resources/make-texts.py): its UTF-8 bytes, and its bytes compressed
    on its own, a fair share of the one stream all of them are kept in; then
    the table as stored (its directory included)."""
    sizes = build / "generated/texts.bin.sizes"
    rows = []
    for line in (sizes.read_text().splitlines() if sizes.exists() else []):
        tag, plain, packed, extra = line.split()
        if tag == "all":
            rows.append(("all languages, one stream, as stored", int(packed) + int(extra)))
        else:
            rows.append((f"{tag}: {plain} bytes of UTF-8, compressed alone", int(packed)))
    return rows


def load(build_dir):
    build = pathlib.Path(build_dir)
    image = Image(build / "bin/QuelloxSetup.exe")
    objects, libraries = map_contributions(build / "QuelloxSetup.map")
    return {"file": [("QuelloxSetup.exe", len(image.data))], "sections": image.section_rows(),
            "resources": image.resource_rows(), "art": art_by_scale(image.resource_rows()), "libraries": sorted(libraries.items(), key=lambda r: -r[1]),
            "objects": sorted(objects.items(), key=lambda r: -r[1]), "texts": translations(build)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--against", nargs=2, metavar=("BUILD", "LABEL"))
    parser.add_argument("--top", type=int, default=25)
    args = parser.parse_args()

    current = load(args.build)
    earlier = load(args.against[0]) if args.against else None
    headings = {"file": "File (bytes)", "sections": "Sections (bytes in the file)",
                "resources": "Resources (bytes of data)", "art": "Pictures by display scale (bytes of data)",
                "texts": "Translations of the window's texts (bytes)",
                "libraries": "Image bytes by library (linker map)",
                "objects": f"Image bytes by object file, largest {args.top} (linker map)"}
    for part, heading in headings.items():
        rows = current[part]
        before = dict(earlier[part]) if earlier else {}
        if part == "objects":
            # The largest now, and any that fell out of the list since.
            kept = rows[:args.top]
            names = {n for n, _ in kept}
            if earlier:
                kept += [(n, dict(rows).get(n, 0)) for n, _ in earlier[part][:args.top] if n not in names]
            rows = kept
        elif earlier:
            rows = rows + [(n, 0) for n, _ in earlier[part] if n not in dict(rows)]
        print()
        if earlier:
            print(f"{heading:<62} {'now':>9} {args.against[1][:12]:>12} {'change':>8}")
        else:
            print(f"{heading:<62} {'now':>9}")
        for name, size in rows:
            if earlier:
                was = before.get(name, 0)
                print(f"  {name[:60]:<60} {size:>9} {was:>12} {size - was:>+8}")
            else:
                print(f"  {name[:60]:<60} {size:>9}")


if __name__ == "__main__":
    main()
