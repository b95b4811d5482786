#include "lib/literal.h"

#include <Python.h>

#include <charconv>
#include <cstdint>

#include "lib/py_ref.h"

namespace skerrow::py {
namespace {

enum class CharKind { kPrintable, kCombining, kNonPrintable, kError };

// Characters that extend the grapheme before them without being marks (Mn,
// Me): spacing vowel signs and length marks that fuse with the preceding
// letter, and the halfwidth katakana sound marks. The format characters
// among them are escaped anyway. unicodedata has no such property.
bool extends_grapheme_without_mark(std::uint32_t cp) {
  struct Range {
    std::uint32_t first;
    std::uint32_t last;
  };
  static constexpr Range kRanges[] = {
      {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},
      {0x0BBE, 0x0BBE},   {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},
      {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},   {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},
      {0x1B35, 0x1B35},   {0x302E, 0x302F},   {0xFF9E, 0xFF9F},   {0x1133E, 0x1133E},
      {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD}, {0x115AF, 0x115AF},
      {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
  };
  for (const Range& r : kRanges) {
    if (cp >= r.first && cp <= r.last) return true;
  }
  return false;
}

// The limited API has no Py_UNICODE_ISPRINTABLE, so the general category
// comes from unicodedata. Texts are almost all ASCII, which never gets here.
CharKind classify(std::uint32_t cp) {
  static PyObject* category = nullptr;  // lives as long as the interpreter
  if (category == nullptr) {
    Ref module = Ref::steal(PyImport_ImportModule("unicodedata"));
    if (!module) return CharKind::kError;
    category = PyObject_GetAttrString(module.get(), "category");
    if (category == nullptr) return CharKind::kError;
  }
  Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
  if (!ch) return CharKind::kError;
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(category, ch.get(), nullptr));
  if (!result) return CharKind::kError;
  const char* c = PyUnicode_AsUTF8AndSize(result.get(), nullptr);
  if (c == nullptr) return CharKind::kError;
  const std::string_view k(c);
  if (k == "Cc" || k == "Cf" || k == "Cn" || k == "Co" || k == "Cs" || k == "Zl" || k == "Zp" ||
      k == "Zs") {
    return CharKind::kNonPrintable;
  }
  if (k == "Mn" || k == "Me" || extends_grapheme_without_mark(cp)) return CharKind::kCombining;
  return CharKind::kPrintable;
}

void append_escape_u(std::string& out, std::uint32_t cp) {
  char hex[16];
  auto [end, ec] = std::to_chars(hex, hex + sizeof hex, cp, 16);
  (void)ec;
  out += "\\u{";
  out.append(hex, end);
  out += '}';
}

}  // namespace

bool append_literal(std::string& out, std::string_view text, bool escape_combining) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            append_escape_u(out, c);
          } else {
            out += static_cast<char>(c);
          }
      }
      continue;
    }
    const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    std::uint32_t cp = len == 4 ? (c & 0x07u) : len == 3 ? (c & 0x0Fu) : (c & 0x1Fu);
    bool valid = len > 1 && i + len <= text.size();
    for (std::size_t k = 1; valid && k < len; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      valid = (cc & 0xC0u) == 0x80u;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    if (!valid || cp > 0x10FFFF) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const CharKind kind = classify(cp);
    if (kind == CharKind::kError) return false;
    if (kind == CharKind::kNonPrintable || (kind == CharKind::kCombining && escape_combining)) {
      append_escape_u(out, cp);
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  out += '"';
  return true;
}

}  // namespace skerrow::py
