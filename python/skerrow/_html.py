"""The HTML form of a message for notebooks: its header, and its first
subsets side by side with units and code meanings."""

from __future__ import annotations

from html import escape
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from skerrow._messages import Message

SUBSETS_SHOWN = 5
VALUES_SHOWN = 200


def _cell(value: object) -> str:
    return f"<td>{escape('' if value is None else str(value))}</td>"


def message_html(message: Message) -> str:
    h = message.header
    header = [
        ("offset", message.offset),
        ("edition", h.edition),
        ("centre", f"{h.originating_centre}/{h.originating_subcentre}"),
        ("category", f"{h.data_category} (local subcategory {h.local_data_subcategory})"),
        ("tables", f"master {h.master_tables_version_number}, local {h.local_tables_version_number}"),
        ("typical time", f"{h.typical_year:04d}-{h.typical_month:02d}-{h.typical_day:02d} "
                         f"{h.typical_hour:02d}:{h.typical_minute:02d}"),
        ("subsets", f"{h.number_of_subsets}{' compressed' if h.compressed_data else ''}"),
        ("descriptors", " ".join(f"{d:06d}" for d in h.unexpanded_descriptors)),
    ]
    parts = ["<div><strong>BUFR message</strong><table>"]
    parts += [f"<tr><th style='text-align:left'>{escape(k)}</th>{_cell(v)}</tr>" for k, v in header]
    parts.append("</table>")
    try:
        subsets = message.subsets()[:SUBSETS_SHOWN]
    except ValueError as exc:
        parts.append(f"<p>cannot decode: {escape(str(exc))}</p></div>")
        return "".join(parts)
    parts.append("<table><tr><th>key</th><th>unit</th>")
    parts += [f"<th>subset {n + 1}</th>" for n in range(len(subsets))]
    parts.append("</tr>")
    rows = max((len(s) for s in subsets), default=0)
    for i in range(min(rows, VALUES_SHOWN)):
        first = next((s[i] for s in subsets if i < len(s)), None)
        if first is None:
            continue
        parts.append(f"<tr>{_cell(first.key)}{_cell(first.unit)}")
        for s in subsets:
            if i >= len(s):
                parts.append("<td></td>")
                continue
            v = s[i]
            shown = v.text if v.text is not None else v.number
            meaning = f" ({v.meaning})" if v.meaning else ""
            parts.append(_cell(f"{'' if shown is None else shown}{meaning}"))
        parts.append("</tr>")
    parts.append("</table>")
    if rows > VALUES_SHOWN:
        parts.append(f"<p>... {rows - VALUES_SHOWN} more values</p>")
    if h.number_of_subsets > len(subsets):
        parts.append(f"<p>first {len(subsets)} of {h.number_of_subsets} subsets</p>")
    parts.append("</div>")
    return "".join(parts)
