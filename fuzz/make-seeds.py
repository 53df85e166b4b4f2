#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ (run from anywhere; needs srec_cat).

Each fuzz_image seed is four shape bytes (see FuzzImage.cpp) and a firmware file
made by srec_cat; each fuzz_sim_frames seed is two shape bytes (FuzzSimFrames.cpp)
and an update as the updater sends it."""
import pathlib, shutil, subprocess

FUZZ = pathlib.Path(__file__).resolve().parent
CORPUS = FUZZ / "corpus"


def srec(*args, line=32):
    return subprocess.run(["srec_cat", *args, "-o", "-", "-motorola", f"-obs={line}"],
                          check=True, capture_output=True).stdout


def put(target, name, data):
    path = CORPUS / target / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


# --- fuzz_ini: the example configurations, and one with two device sections
for ini in sorted(FUZZ.parent.glob("examples/*/*.ini")):
    put("fuzz_ini", ini.name, ini.read_bytes())
solvane = (FUZZ.parent / "examples/solvane/MpptConfigFile.ini").read_text()
device1 = "[DEVICE1]" + solvane.split("[DEVICE0]")[1].replace("RAWDATASIZE=32", "RAWDATASIZE=64")
put("fuzz_ini", "two-devices.ini", (solvane.replace("DEVICECOUNT=1", "DEVICECOUNT=2") + device1).encode())

# --- fuzz_image: shape bytes + srec_cat output (S0 header, 32-byte lines, S5 count, S9/S8 with a start address)
text16 = srec("-generate", "0x8000", "0x8070", "-repeat-string", "solvane seed ", "-header", "solvane seed")
text24 = srec("-generate", "0xF000", "0xF0A0", "-repeat-data", "0x12", "0x34", "0xAB",
              "-execution-start-address=0xF000", "-address-length=3", "-header", "castrel seed")
gap = srec("-generate", "0x8000", "0x8010", "-constant", "0x5A", "-generate", "0x8123", "0x8131",
           "-constant", "0xC3", "-execution-start-address=0x8000", "-header", "gap seed")
put("fuzz_image", "s1-size32-count", bytes([0x01, 0x13, 0, 0]) + text16)
put("fuzz_image", "s1-size64-mark", bytes([0x02, 0x24, 0, 0]) + text16.replace(b"\n", b"\r\n"))
put("fuzz_image", "s2-size16-s8", bytes([0x04, 0x34, 0, 0]) + text24)
put("fuzz_image", "s2-size64-repair", bytes([0x0E, 0x43, 0, 0]) + text24.lower().replace(b"s", b"S"))
bottom = srec("-generate", "0x0000", "0x0048", "-repeat-string", "first block ", "-header", "at zero")
put("fuzz_image", "s1-at-zero", bytes([0x21, 0x03, 0, 0]) + bottom)
top = srec("-generate", "0xFFC0", "0x10000", "-repeat-string", "top of the map ", "-header", "top",
           "-execution-start-address=0xFFC0", line=16)
put("fuzz_image", "s1-top", bytes([0x09, 0x03, 0, 0]) + top)
put("fuzz_image", "s1-gap-size48", bytes([0x03, 0x02, 0, 48]) + gap)
# Addresses given twice, going back down: the last value given must win (repaired checksums).
lines = gap.splitlines(keepends=True)
again = [l.replace(b"5A", b"A5") for l in lines if l.startswith(b"S1")]
put("fuzz_image", "s1-again", bytes([0x09, 0x03, 0, 0]) + b"".join(lines[:-2] + again + lines[-1:]))
# The text's first line ends on the reader's 64 KiB chunk boundary, behind S0 filler.
body = b"".join(l for l in text16.splitlines(keepends=True) if not l.startswith(b"S0"))
put("fuzz_image", "chunk-boundary", bytes([0x39, 0x13, 0x00, 0]) + body)
put("fuzz_image", "chunk-boundary-crlf", bytes([0x39, 0x13, 0xFF, 0]) + body.replace(b"\n", b"\r\n"))

# Rows that must follow the record-size blocks: data entering a block at a 16-byte
# boundary next to IAPMARK, data just below the programmer (IAPSTART is ROMHEAD +
# 0x800 here) and the reserved range, the records shuffled, and a programmer bound
# off the row grid (ROMHEAD from the second record, 0x8010) that refuses the file.
near = srec("-generate", "0x8000", "0x8100", "-repeat-string", "block ", "-generate", "0x8410",
            "0x8600", "-repeat-string", "marker ", "-header", "near", line=16)
put("fuzz_image", "s1-marker-off-block", bytes([0x49, 0x43, 0, 0]) + near)
edges = srec("-generate", "0x8000", "0x8040", "-constant", "0x11", "-generate", "0x87F0", "0x8800",
             "-constant", "0x22", "-generate", "0xFFB0", "0xFFC0", "-constant", "0x33", "-header",
             "edges", line=16)
put("fuzz_image", "s1-below-ranges", bytes([0x49, 0xC3, 0, 0]) + edges)
records = near.splitlines(keepends=True)
put("fuzz_image", "s1-shuffled",
    bytes([0x48, 0xC3, 0, 0]) + b"".join(records[:2] + records[2:-2][::-3] + records[2:-2][1::3]
                                         + records[2:-2][2::3] + records[-2:]))
grid = srec("-generate", "0x8010", "0x8040", "-constant", "0x44", "-generate", "0x8800", "0x8810",
            "-constant", "0x55", "-header", "grid", line=16)
put("fuzz_image", "s1-off-grid", bytes([0x09, 0x03, 0, 0]) + grid)

# --- fuzz_hid_descriptor: vendor-defined devices with 64-byte reports
vendor = bytes.fromhex("0600FF0901A101"            # usage page vendor, usage 1, collection
                       "150026FF0075089540"        # logical 0..255, 8 bits x 64
                       "0902810209039102C0")       # input, output, end collection
put("fuzz_hid_descriptor", "vendor-64", vendor)
put("fuzz_hid_descriptor", "report-ids", bytes.fromhex(
    "0600FF0901A1018501750895200902810285029540090391028503A4950409048102B4950809058102C0"))
put("fuzz_hid_descriptor", "long-item", bytes.fromhex("FE0210AABBCCDD") + vendor)


# --- fuzz_sim_frames: whole updates
def frame(address, data, a24):
    size = len(data)
    head = [size + 6, address >> 16 & 0xFF, address >> 8 & 0xFF, address & 0xFF, size] if a24 \
        else [size + 5, size, address >> 8 & 0xFF, address & 0xFF]
    body = head + list(data)
    check = 0
    for b in body:
        check ^= b
    return bytes(body + [check])


EOF16 = bytes.fromhex("0803000045 4F4647".replace(" ", ""))
EOF24 = bytes.fromhex("080000000445 4F4647".replace(" ", ""))
serial = b"IAPMODE\r" + frame(0x8000, range(16), False) + frame(0x8010, range(16, 32), False) + EOF16
put("fuzz_sim_frames", "serial-16", bytes([0x00, 0x00]) + serial)
put("fuzz_sim_frames", "serial-pauses", bytes([0x00, 0x01 | (20 << 2)]) + serial)
messages = [b"FWUPDATE\r", bytes([3, 0x42, 1]), frame(0xF000, range(32), True),
            frame(0xF020, bytes(32), True), EOF24]
put("fuzz_sim_frames", "hid-24", bytes([0x07, 0x02 | (63 << 2)]) + b"".join(m.ljust(64, b"\0") for m in messages))
reports = [b"\0" + m.ljust(64, b"\0") for m in messages]
put("fuzz_sim_frames", "socket-24", bytes([0x07, 0x03]) + b"".join(bytes([65, 0]) + b"O" + r for r in reports))
put("fuzz_sim_frames", "socket-nak", bytes([0x13, 0x23]) + b"".join(bytes([65, 0]) + b"O" + r for r in
    [b"\0" + m.ljust(64, b"\0") for m in [b"IAPMODE\r", bytes([3, 0x42, 1])] + [frame(0x8000 + 16 * k, bytes(16), False) for k in range(4)]]))
