"""Inputs that fuzzing found troublesome, and near misses of the rules that
keep hostile input out: each case pins a result that a broken check would
change."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import _skerrow
from bufr_builder import frame
from decode_support import ELEMENTS, bits, decode, table_dir
from test_tables_bad_input import write_dir

def error_of(call) -> str:
    with pytest.raises(ValueError) as info:
        call()
    return info.value.args[0]


# A text element of width 0 reads no octets into a buffer of none; the next
# element must still find its bits where they are.
@pytest.mark.parametrize(
    "compressed, data, subsets",
    [(False, bits((5, 7)), 1), (True, bits((0, 6), (5, 7), (0, 6)), 2)],
    ids=["uncompressed", "compressed"],
)
def test_text_element_of_width_zero(tmp_path, compressed, data, subsets):
    tables = _skerrow.TableSet.from_eccodes(
        table_dir(tmp_path, elements={1: "x|string|X|CCITT IA5|0|0|0", 1001: ELEMENTS[1001]})
    )
    values = decode(tables, [1, 1001], data, subsets=subsets, compressed=compressed)
    assert [(v.descriptor, v.raw, v.raw_text) for v in values] == [(1, None, None), (1001, 5, None)] * subsets


# A statement that never closes joins every later line. Loading must stay
# linear in the file's size: the check runs in a child process with a time
# limit a hundred times what a linear load needs, since a load that searched
# the whole pending text again for each line would take minutes here.
def test_unclosed_sequence_statement_loads_in_linear_time(tmp_path):
    lines = 4 * 1024 * 1024
    directory = write_dir(
        tmp_path, b"001001|a|long|A|u|0|0|7\n", b'"300002" = [ 000002,\n' + b"1\n" * lines
    )
    script = (
        "import sys, _skerrow\n"
        "t = _skerrow.TableSet.from_eccodes(sys.argv[1])\n"
        "print(t.sequence_count)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, directory],
        capture_output=True, text=True, timeout=60, check=True,
    )
    assert done.stdout.strip() == "0"


# Only the line just joined can hold the first "]"; a statement over many
# lines still closes on the right one, and the next statement starts after it.
def test_statement_over_many_lines_closes_on_its_bracket(tmp_path):
    members = b"".join(b"%06d,\n" % (1000 + i) for i in range(1, 500))
    sequences = b'"300002" = [\n' + members + b']\n"300003" = [ 000003 ]\n'
    tables = _skerrow.TableSet.from_eccodes(write_dir(tmp_path, b"001001|a|long|A|u|0|0|7\n", sequences))
    assert tables.get_sequence(300002).members == [1000 + i for i in range(1, 500)]
    assert tables.get_sequence(300003).members == [3]


# The framing that passes every section check yet ends at octet 29, one short
# of the last fixed field of section 1 (the second of the typical time).
SHORTEST_FRAMING = frame(
    b"\0\0\x03" + b"\0\0\x04\0" + b"\0\0\x07\0\0\x01\x80" + b"\0\0\x03" + b"7777"
)


@pytest.mark.parametrize(
    "data, text",
    [
        (SHORTEST_FRAMING, "section 1 at offset 8 is truncated"),
        (SHORTEST_FRAMING + b"\0", "declared length 29 does not match buffer length 30"),
    ],
    ids=["29-octets", "29-declared-30-given"],
)
def test_shortest_framing(data, text):
    assert error_of(lambda: _skerrow.parse_bytes(data)) == text


def test_thirty_octets_are_enough():
    # Section 4 one octet longer: the last fixed field of section 1 (the
    # second) is now octet 29, the last "7".
    data = frame(SHORTEST_FRAMING[8:22] + b"\0\0\x04\x2a7777")
    m = _skerrow.parse_bytes(data)
    assert (m.total_length, m.typical_second, m.section4_data_length) == (30, ord("7"), 0)


# Each octet of the marker counts: a near miss in any one of them is not a
# message, wherever it stands.
@pytest.mark.parametrize("near_miss", [b"xUFR", b"BxFR", b"BUxR", b"BUFx"])
def test_near_miss_markers(near_miss):
    from bufr_builder import message

    data = near_miss + message()[4:]
    assert error_of(lambda: _skerrow.parse_bytes(data)) == "missing BUFR marker"
    assert _skerrow.parse_all_bytes(data) == []
    assert error_of(lambda: _skerrow.decode_values(data, "/nonexistent")) == "missing BUFR marker"


# Line numbers in the CSV reader's errors count a CR LF pair once, also in a
# blank line, a comment line and inside a quoted field; a lone CR counts.
BAD_RECORD = b"001003|\xff|long|C|u|0|0|7\r\n"


@pytest.mark.parametrize(
    "elements, line",
    [
        (b"001001|a|long|A|u|0|0|7\r\n\r\n001002|b|long|B|u|0|0|7\r\n" + BAD_RECORD, 4),
        (b'001001|"a\r\nb"|long|A|u|0|0|7\r\n001002|b|long|B|u|0|0|7\r\n' + BAD_RECORD, 4),
        (b'001001|"a\rb"|long|A|u|0|0|7\r001002|b|long|B|u|0|0|7\r\r' + BAD_RECORD, 5),
        (b"#comment\r\n" + BAD_RECORD, 2),
    ],
    ids=["blank-line", "quoted-crlf", "lone-cr", "comment"],
)
def test_csv_error_lines_after_crlf(tmp_path, elements, line):
    directory = write_dir(tmp_path, elements, b"")
    text = error_of(lambda: _skerrow.TableSet.from_eccodes(directory))
    assert text.endswith(f"element.table: line {line}: record is not valid UTF-8")


def test_first_of_several_unknown_keywords_is_reported():
    from bufr_builder import message

    with pytest.raises(TypeError) as info:
        _skerrow.parse_bytes(message(), first=1, second=2)
    assert info.value.args == ("'first' is an invalid keyword argument for parse_bytes()",)


# Table loaders read files whole: a FIFO would block the open and /dev/zero
# never ends, so both are refused by their kind, in both layouts. Message
# files may still be pipes.
@pytest.mark.parametrize("special", ["fifo", "/dev/zero"])
@pytest.mark.parametrize(
    "layout, name",
    [
        ("eccodes", "element.table"),
        ("eccodes", "sequence.def"),
        ("eccodes", "codetables/1003.table"),
        ("wmo", "BUFRCREX_TableB_en_00.csv"),
        ("wmo", "BUFR_TableD_en_00.csv"),
    ],
)
def test_table_files_must_be_regular_files(tmp_path, special, layout, name):
    directory = Path(write_dir(tmp_path / "t", b"001001|a|long|A|u|0|0|7\n", b"", b"1 1 ONE\n"))
    target = Path(special)
    if special == "fifo":
        target = tmp_path / "fifo"
        os.mkfifo(target)
    victim = directory / name
    victim.unlink(missing_ok=True)
    victim.symlink_to(target)
    load = _skerrow.TableSet.from_eccodes if layout == "eccodes" else _skerrow.TableSet.from_bufr4_45
    text = error_of(lambda: load(str(directory)))
    assert text.endswith(f"{victim} is not a regular file or directory")


def test_message_files_may_be_pipes(tmp_path):
    from bufr_builder import message

    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Written in two parts with a pause between: a reader that took a short
    # read for the end of the file would see half a message.
    data = message(subsets=3, data=bytes(5000))
    writer = subprocess.Popen([sys.executable, "-c", (
        "import sys, time\n"
        f"f = open({str(fifo)!r}, 'wb', buffering=0)\n"
        f"data = {data!r}\n"
        "f.write(data[:1000]); time.sleep(0.3); f.write(data[1000:])\n"
    )])
    try:
        assert _skerrow.parse_file(str(fifo)).number_of_subsets == 3
    finally:
        writer.wait(timeout=10)


# Every octet of a three-octet length counts: a section 1 longer than 255 and
# than 65,535 octets still puts the later sections where they are.
@pytest.mark.parametrize("extra", [300 - 22, 0x10040 - 22])
def test_long_section1(extra):
    from bufr_builder import Message

    data = Message(descriptors=[1001], section1_extra=bytes(extra)).build()
    m = _skerrow.parse_bytes(data)
    assert (m.section1_length, m.unexpanded_descriptors) == (22 + extra, [1001])
    assert m.section4_data_offset == 8 + 22 + extra + 9 + 4
