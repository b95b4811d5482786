"""Run by Debian's /usr/bin/python3, which has ecCodes' bindings: prints, as
JSON, every data key of each message given ("#n#key", with the qualifiers
"#n#key->qualifier") and its values, one per subset or one for all."""

import json, sys, math
import eccodes
out = {}
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        h = eccodes.codes_bufr_new_from_file(f)
    eccodes.codes_set(h, "skipExtraKeyAttributes", 1)
    eccodes.codes_set(h, "unpack", 1)
    n = eccodes.codes_get(h, "numberOfSubsets")
    it = eccodes.codes_bufr_keys_iterator_new(h)
    cols = {}
    while eccodes.codes_bufr_keys_iterator_next(it):
        name = eccodes.codes_bufr_keys_iterator_get_name(it)
        if not name.startswith("#"):
            continue
        try:
            kind = eccodes.codes_get_native_type(h, name)
            if kind is str:
                vals = list(eccodes.codes_get_string_array(h, name))
                vals = [None if v is None or set(v) <= {"\xff"} or v == "" else v for v in vals]
            else:
                vals = [None if v == eccodes.CODES_MISSING_DOUBLE or v == eccodes.CODES_MISSING_LONG else float(v)
                        for v in eccodes.codes_get_double_array(h, name)]
        except Exception as exc:
            vals = "error " + str(exc)
        cols[name] = vals
    eccodes.codes_bufr_keys_iterator_delete(it)
    eccodes.codes_release(h)
    out[path] = {"subsets": n, "columns": cols}
print(json.dumps(out))
