"""Every entry point, called 100,000 times, leaves the process's memory where
it was: a leak of even one small object per call would add megabytes.

Each group runs in a child process, so the resident size measured is that of
the calls alone; the first calls warm the allocator and the caches."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
CALLS = 100_000
WARM_UP = 2_000
# A leak of 11 octets per call would pass 1 MiB over 100,000 calls.
ALLOWED_GROWTH = 1 << 20

SETUP = '''
import os, sys
sys.path.insert(0, {here!r})
import _skerrow
from bufr_builder import Message
from decode_support import bits, table_dir
from pathlib import Path

work = Path({work!r})
tables_dir = table_dir(work / "t")
root = work / "root" / "bufr" / "tables" / "0" / "wmo"
root.mkdir(parents=True)
os.symlink(tables_dir, root / "35")
definitions = str(work / "root")
wmo = work / "wmo"
wmo.mkdir()
(wmo / "BUFRCREX_TableB_en_00.csv").write_text("a,b,FXY,n,u,s,r,w\\n0,x,001001,B,Numeric,0,0,7\\n")
(wmo / "BUFR_TableD_en_00.csv").write_text("a,b,FXY1,c,d,FXY2\\n0,x,301001,c,d,001001\\n")
tables = _skerrow.TableSet.from_eccodes(tables_dir)
data = Message(descriptors=[301001, 1015, 20003], data=bits((5, 7), (27315, 16), b"ABC", (5, 9))).build()
compressed = Message(descriptors=[1001, 1015], subsets=2, compressed=True,
                     data=bits((5, 7), (0, 6), b"ABC", (0, 6))).build()
message_file = work / "one.bufr"
message_file.write_bytes(data)
header = _skerrow.parse_bytes(data)

def fails(call, *args):
    try:
        call(*args)
    except (ValueError, TypeError, OverflowError, OSError):
        return
    raise AssertionError(call)
'''

GROUPS = {
    "messages": '''
def once():
    m = _skerrow.parse_bytes(data)
    repr(m); m.unexpanded_descriptors; m.typical_year
    _skerrow.parse_file(str(message_file))
    _skerrow.parse_all_bytes(data + data)
    _skerrow.parse_all_file(str(message_file))
    fails(_skerrow.parse_bytes, data[:-1])
    fails(_skerrow.parse_bytes, bytearray(data))
    fails(_skerrow.parse_file, str(work / "absent"))
    fails(_skerrow.parse_all_bytes, data + b"BUFR\\0\\0\\x50\\x04")
''',
    "tables": '''
def once():
    t = _skerrow.TableSet.from_eccodes(tables_dir)
    repr(t); t.element_count
    e = t.get_element(1015)
    (e.code, e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width, repr(e))
    s = t.get_sequence(301001)
    (s.code, s.members, repr(s))
    t.get_meaning(20003, 5); t.get_meaning(20003, 6); t.get_element(9)
    t.expand([301001, 1015])
    d = _skerrow.Descriptor(3, 1, 1)
    (d.f, d.x, d.y, d.fxy, repr(d), _skerrow.Descriptor.from_fxy(1001))
    _skerrow.TableSet.from_bufr4_45(str(wmo))
    _skerrow.TableSet.from_definitions(definitions, header)
    _skerrow.expand_descriptors(tables_dir, [301001])
    fails(_skerrow.TableSet.from_eccodes, str(work / "absent"))
    fails(t.expand, [300001])
    fails(_skerrow.expand_descriptors, tables_dir, "301001")
    fails(t.get_meaning, 1, -1)
''',
    "decoding": '''
def once():
    for values in (
        _skerrow.decode_values(data, tables_dir),
        _skerrow.decode_values_with_tables(data, tables),
        _skerrow.decode_values_with_tables(compressed, tables),
        _skerrow.decode_values_with_definitions(data, definitions),
    ):
        for v in values:
            (v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning, v.data, repr(v))
    kept = _skerrow.decode_values_with_tables(data, tables)[2]
    kept.name
    fails(_skerrow.decode_values_with_tables, data[:-5], tables)
    fails(_skerrow.decode_values_with_tables, Message(descriptors=[9]).build(), tables)
    fails(_skerrow.decode_values, data, str(work / "absent"))
    fails(_skerrow.decode_values_with_tables, data, "tables")
''',
}

MEASURE = '''
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

for _ in range({warm_up}):
    once()
before = resident()
for _ in range({calls}):
    once()
print(resident() - before)
'''


@pytest.mark.slow
@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc/self/statm")
@pytest.mark.parametrize("group", sorted(GROUPS))
def test_memory_stays_flat(tmp_path, group):
    script = (
        SETUP.format(here=str(HERE), work=str(tmp_path))
        + GROUPS[group]
        + MEASURE.format(warm_up=WARM_UP, calls=CALLS)
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=1800
    )
    assert done.returncode == 0, done.stderr
    growth = int(done.stdout.split()[-1])
    assert growth < ALLOWED_GROWTH, f"{group}: resident size grew by {growth} octets"
