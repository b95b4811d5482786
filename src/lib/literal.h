// Double-quoted text literals for the reprs of names and decoded texts.
#pragma once

#include <string>
#include <string_view>

namespace skerrow::py {

// Appends `text` (UTF-8) to `out` between double quotes. A double quote and a
// backslash get a backslash before them; tab, CR, LF and NUL become \t, \r,
// \n and \0; other characters that do not print (controls, format,
// unassigned, private-use and surrogate code points, separators other than
// the space) become \u{hex}. With `escape_combining`, characters that
// extend a grapheme (combining marks, and the few spacing signs that fuse
// with the letter before them) are escaped too, so that a text starting with
// one cannot fuse with the quote before it. Octets that are not UTF-8 stand
// for U+FFFD, as in the str. Returns false with a Python error set if the
// character database failed.
bool append_literal(std::string& out, std::string_view text, bool escape_combining);

}  // namespace skerrow::py
