"""The module object and the argument and error rules at the boundary."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

import _skerrow
from bufr_builder import message

VALID = message(descriptors=[1001], data=b"\x01")


def test_import_under_warnings_as_errors():
    subprocess.run([sys.executable, "-W", "error", "-c", "import _skerrow, skerrow"], check=True)


def test_reimport_returns_the_same_module():
    module = sys.modules.pop("_skerrow")
    try:
        import _skerrow as again

        assert again is module
    finally:
        sys.modules["_skerrow"] = module


def test_subinterpreter_is_refused():
    code = textwrap.dedent(
        """
        import _skerrow
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit(0)
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _skerrow")
        except Exception as exc:
            assert "ImportError" in repr(exc) or "sub-interpreter" in str(exc), exc
        else:
            raise AssertionError("import in a sub-interpreter succeeded")
        """
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_module_doc_and_abi():
    assert _skerrow.__doc__ == ""
    assert _skerrow.__file__.endswith(".abi3.so")


@pytest.mark.parametrize(
    "name, signature",
    [
        ("parse_bytes", "(data)"),
        ("parse_file", "(path)"),
        ("parse_all_bytes", "(data)"),
        ("parse_all_file", "(path)"),
    ],
)
def test_docstrings_are_text_signatures(name, signature):
    function = getattr(_skerrow, name)
    assert function.__doc__ is None or function.__doc__ == ""
    assert function.__text_signature__ == signature
    import inspect

    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize("function", [_skerrow.parse_bytes, _skerrow.parse_all_bytes])
@pytest.mark.parametrize(
    "value", [bytearray(VALID), memoryview(VALID), "BUFR", None, 7], ids=lambda v: type(v).__name__
)
def test_data_must_be_bytes(function, value):
    with pytest.raises(TypeError, match="'data'"):
        function(value)


def test_bytes_subclass_is_accepted():
    class Octets(bytes):
        pass

    assert _skerrow.parse_bytes(Octets(VALID)).total_length == len(VALID)
    assert len(_skerrow.parse_all_bytes(Octets(VALID + VALID))) == 2


@pytest.mark.parametrize("function", [_skerrow.parse_file, _skerrow.parse_all_file])
@pytest.mark.parametrize(
    "value", [pathlib.Path("x.bufr"), b"x.bufr", None, 3], ids=lambda v: type(v).__name__
)
def test_path_must_be_str(function, value):
    with pytest.raises(TypeError, match="'path'"):
        function(value)


@pytest.mark.parametrize("function", [_skerrow.parse_file, _skerrow.parse_all_file])
def test_path_without_utf8_form(function):
    with pytest.raises(UnicodeEncodeError):
        function("bad\udc80name")


def test_keywords_and_argument_count_errors():
    assert _skerrow.parse_bytes(data=VALID).total_length == len(VALID)
    assert _skerrow.parse_all_bytes(data=VALID)[0].total_length == len(VALID)
    with pytest.raises(TypeError, match=r"parse_bytes\(\) missing required argument 'data' \(pos 1\)"):
        _skerrow.parse_bytes()
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        _skerrow.parse_bytes(VALID, VALID)
    with pytest.raises(TypeError, match=r"'nope' is an invalid keyword argument for parse_bytes\(\)"):
        _skerrow.parse_bytes(VALID, nope=VALID)
    with pytest.raises(TypeError, match=r"given by name \('data'\) and position \(1\)"):
        _skerrow.parse_bytes(VALID, data=VALID)


# When a call has several faults, Python's own argument parsing reports a
# missing argument first, then one given twice (the first by position), and
# an unknown keyword last, whatever the order of the keywords in the call.
@pytest.mark.parametrize(
    "call, text",
    [
        (
            lambda: _skerrow.parse_bytes(nope=VALID),
            "parse_bytes() missing required argument 'data' (pos 1)",
        ),
        (
            lambda: _skerrow.parse_bytes(VALID, nope=1, data=VALID),
            "argument for parse_bytes() given by name ('data') and position (1)",
        ),
        (
            lambda: _skerrow.decode_values(b"", nope=1, data=b""),
            "decode_values() missing required argument 'table_dir' (pos 2)",
        ),
        (
            lambda: _skerrow.expand_descriptors("a", [1], descriptors=[], table_dir="b"),
            "argument for expand_descriptors() given by name ('table_dir') and position (1)",
        ),
        (
            lambda: _skerrow.TableSet().get_meaning(1, nope=2),
            "get_meaning() missing required argument 'raw' (pos 2)",
        ),
    ],
    ids=["missing-before-unknown", "twice-before-unknown", "missing-second", "twice-by-position",
         "method"],
)
def test_which_argument_fault_is_reported(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (text,)


def test_files_by_keyword(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(VALID)
    assert _skerrow.parse_file(path=str(path)).total_length == len(VALID)
    assert len(_skerrow.parse_all_file(path=str(path))) == 1


@pytest.mark.parametrize("function", [_skerrow.parse_file, _skerrow.parse_all_file])
def test_missing_file_raises_plain_oserror(function, tmp_path):
    with pytest.raises(OSError) as info:
        function(str(tmp_path / "absent.bufr"))
    assert type(info.value) is OSError
    assert info.value.errno is None
    assert info.value.args == ("No such file or directory (os error 2)",)


@pytest.mark.parametrize("function", [_skerrow.parse_file, _skerrow.parse_all_file])
def test_directory_raises_oserror(function, tmp_path):
    with pytest.raises(OSError) as info:
        function(str(tmp_path))
    assert type(info.value) is OSError
    assert info.value.args == ("Is a directory (os error 21)",)


@pytest.mark.parametrize("function", [_skerrow.parse_file, _skerrow.parse_all_file])
@pytest.mark.parametrize("suffix", ["\0", "\0.bufr", "\0/other"])
def test_path_with_nul_names_no_file(function, suffix, tmp_path):
    # The operating system would read the name only up to the NUL, so
    # "one.bufr\0..." would read one.bufr, a file the caller did not name.
    path = tmp_path / "one.bufr"
    path.write_bytes(VALID)
    with pytest.raises(OSError) as info:
        function(str(path) + suffix)
    assert type(info.value) is OSError and info.value.errno is None
    assert info.value.args == ("file name contained an unexpected NUL byte",)


def test_empty_file(tmp_path):
    path = tmp_path / "empty.bufr"
    path.write_bytes(b"")
    assert _skerrow.parse_all_file(str(path)) == []
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        _skerrow.parse_file(str(path))


def test_value_error_carries_exactly_the_message():
    with pytest.raises(ValueError) as info:
        _skerrow.parse_bytes(b"")
    assert info.value.args == ("message is too short to be BUFR",)
    assert str(info.value) == "message is too short to be BUFR"


def test_failing_calls_leak_no_references():
    data = b"x" + VALID
    before = sys.getrefcount(data)
    for _ in range(100):
        with pytest.raises(ValueError):
            _skerrow.parse_bytes(data)
        with pytest.raises(TypeError):
            _skerrow.parse_bytes(bytearray(data))
    assert sys.getrefcount(data) == before


def test_parse_loop_does_not_grow_memory():
    import tracemalloc

    stream = VALID * 50
    _skerrow.parse_all_bytes(stream)
    tracemalloc.start()
    try:
        first = None
        for i in range(200):
            messages = _skerrow.parse_all_bytes(stream)
            [m.unexpanded_descriptors for m in messages]
            del messages
            if i == 20:
                first = tracemalloc.get_traced_memory()[0]
        assert tracemalloc.get_traced_memory()[0] - first < 64 * 1024
    finally:
        tracemalloc.stop()


def test_all_lists_the_fourteen_names_in_registration_order():
    assert _skerrow.__all__ == [
        "BufrMessage", "DecodedValue", "Descriptor", "ElementDefinition", "SequenceDefinition",
        "TableSet", "parse_bytes", "parse_file", "parse_all_bytes", "parse_all_file",
        "expand_descriptors", "decode_values", "decode_values_with_tables",
        "decode_values_with_definitions",
    ]  # fmt: skip
    assert [name for name in vars(_skerrow) if name in _skerrow.__all__] == _skerrow.__all__
