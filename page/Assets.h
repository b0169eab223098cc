#pragma once

// Private to page/.

// The triage pages' one style sheet and one script, inline in each page,
// and the content security policy that lets exactly them run: each is named
// by the hash of its bytes, computed as this file compiles. The script
// holds no data: it reads the page's own table, so nothing from a report
// ever goes into a script.

#include "page/Sha256.h"

#include <string>
#include <string_view>

namespace triage::assets {

inline constexpr std::string_view kStyle = R"css(
:root{--ink:#1f2328;--muted:#59636e;--line:#d1d9e0;--soft:#f6f8fa;--bar:#4c6e9e;--new:#1a7f37;--regressed:#b35900}
body{margin:0;font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans","DejaVu Sans",sans-serif;
color:var(--ink);background:#fff}
header{padding:14px 24px;border-bottom:1px solid var(--line);background:var(--soft)}
header h1{font-size:19px;margin:0}
header p{margin:2px 0 0;color:var(--muted)}
main{padding:8px 24px 32px}
h2{font-size:15px;margin:24px 0 8px}
a{color:#0a5cc2;text-decoration:none}
a:hover{text-decoration:underline}
.note{color:var(--muted)}
.totals{display:flex;flex-wrap:wrap;gap:12px 40px;margin:16px 0 0}
.totals dt{color:var(--muted);font-size:12px}
.totals dd{margin:0;font-size:22px;font-weight:600;font-variant-numeric:tabular-nums}
.facts{display:grid;grid-template-columns:max-content 1fr;gap:4px 16px;margin:16px 0 0}
.facts dt{color:var(--muted)}
.facts dd{margin:0;overflow-wrap:anywhere}
table{border-collapse:collapse;width:100%}
th,td{padding:5px 8px;border-bottom:1px solid #e6eaef;text-align:left;vertical-align:top}
th{position:sticky;top:0;background:#fff;border-bottom:1px solid var(--line);color:var(--muted);font-size:12px;
font-weight:600;white-space:nowrap}
tbody tr:hover{background:var(--soft)}
.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.t{white-space:nowrap;font-variant-numeric:tabular-nums}
code,pre,.id{font-family:ui-monospace,"SFMono-Regular",Menlo,Consolas,"DejaVu Sans Mono",monospace;font-size:12px}
#groups td:nth-child(1){font-family:ui-monospace,"SFMono-Regular",Menlo,Consolas,"DejaVu Sans Mono",monospace;
font-size:12px;min-width:16.5ch;max-width:20ch;overflow-wrap:anywhere}
#groups td:nth-child(2){min-width:17em;overflow-wrap:anywhere}
#groups td:nth-child(3){color:var(--muted);font-size:12px;min-width:16em;overflow-wrap:anywhere}
#groups td:nth-child(4),#groups td:nth-child(5),#groups th:nth-child(4),#groups th:nth-child(5){text-align:right;
font-variant-numeric:tabular-nums}
#groups td:nth-child(6),#groups td:nth-child(7){white-space:nowrap;font-variant-numeric:tabular-nums}
.mark{display:inline-block;padding:0 7px;border-radius:9px;font-size:11px;font-weight:600;color:#fff}
.mark.new{background:var(--new)}
.mark.regressed{background:var(--regressed)}
svg.chart{display:block;width:100%;max-width:980px;height:auto}
.chart .bar{fill:var(--bar)}
.chart .grid{stroke:#e6eaef}
.chart .axis{stroke:var(--line)}
.chart text{fill:var(--muted);font-size:11px}
.chart .end{text-anchor:end}
.chart .mid{text-anchor:middle}
#groups svg{display:block;width:84px;height:24px;border-bottom:1px solid var(--line)}
#groups svg path{stroke:var(--bar);stroke-width:3}
pre{background:var(--soft);border:1px solid var(--line);border-radius:6px;padding:10px 12px;margin:8px 0;
white-space:pre-wrap;overflow-wrap:anywhere}
#controls{display:flex;align-items:center;gap:12px;margin:8px 0}
#filter{font:inherit;padding:4px 8px;border:1px solid var(--line);border-radius:6px;width:22em}
th button{all:unset;cursor:pointer}
th button:focus-visible{outline:2px solid #0a5cc2}
th[aria-sort=ascending] button::after{content:" \25B2"}
th[aria-sort=descending] button::after{content:" \25BC"}
)css";

inline constexpr std::string_view kScript = R"js(
'use strict';
(() => {
  const table = document.getElementById('groups');
  const controls = document.getElementById('controls');
  if (!table || !controls) return;
  const body = table.tBodies[0];
  const rows = Array.from(body.rows);
  const texts = rows.map((row) => row.textContent.toLowerCase());
  const filter = document.createElement('input');
  filter.type = 'search';
  filter.id = 'filter';
  filter.placeholder = 'Filter groups';
  filter.setAttribute('aria-label', 'Show only the groups whose row holds every word typed');
  const shown = document.createElement('span');
  shown.id = 'shown';
  shown.className = 'note';
  controls.append(filter, shown);
  const apply = () => {
    const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
    let visible = 0;
    rows.forEach((row, i) => {
      row.hidden = !words.every((word) => texts[i].includes(word));
      visible += row.hidden ? 0 : 1;
    });
    shown.textContent = `${visible.toLocaleString('en-US')} of ${rows.length.toLocaleString('en-US')} groups`;
  };
  filter.addEventListener('input', apply);
  apply();
  const headers = Array.from(table.tHead.rows[0].cells);
  const keyOf = (row, column, kind) => {
    const text = row.cells[column].textContent.trim();
    return kind === 'num' ? Number(text.replace(/,/g, '')) : text.toLowerCase();
  };
  const sortBy = (th, column) => {
    const kind = th.dataset.sort;
    const current = th.getAttribute('aria-sort');
    const ascending = current ? current === 'descending' : kind === 'text';
    const keyed = Array.from(body.rows, (row, i) => [keyOf(row, column, kind), i, row]);
    const order = ascending ? 1 : -1;
    keyed.sort((a, b) => (a[0] < b[0] ? -order : a[0] > b[0] ? order : a[1] - b[1]));
    headers.forEach((other) => other.removeAttribute('aria-sort'));
    th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
    const sorted = document.createDocumentFragment();
    keyed.forEach((entry) => sorted.append(entry[2]));
    body.append(sorted);
  };
  headers.forEach((th, column) => {
    if (!th.dataset.sort) return;
    const button = document.createElement('button');
    button.type = 'button';
    button.append(...th.childNodes);
    th.append(button);
    button.addEventListener('click', () => sortBy(th, column));
  });
})();
)js";

inline constexpr auto kStyleHash = base64(sha256(kStyle));
inline constexpr auto kScriptHash = base64(sha256(kScript));

// The policy of a page: nothing but its own style sheet, and its own
// script if it has one. No source may be fetched, no form sent, no base
// URL set.
inline std::string policy(bool withScript)
{
    std::string text = "default-src 'none'; style-src 'sha256-";
    text.append(kStyleHash.data(), kStyleHash.size());
    text += "'";
    if (withScript) {
        text += "; script-src 'sha256-";
        text.append(kScriptHash.data(), kScriptHash.size());
        text += "'";
    }
    text += "; base-uri 'none'; form-action 'none'";
    return text;
}

}  // namespace triage::assets
