"""A grouped bar chart as a standalone SVG file, written with the standard library alone (the
benchmarks need no plotting package): one panel per size, one group of bars per row."""
from html import escape

COLORS = {"ours": "#1f77b4", "numexpr": "#ff7f0e", "numba": "#2ca02c", "NumPy": "#7f7f7f"}
BAR, GAP, LABEL_W, PANEL_W, TOP = 9, 10, 110, 300, 70


def relative_bars(path, title, note, panels, rows, peers, reference):
    """Writes `path`: for each panel (a title and {row: {who: seconds}}), each row's time of
    every one of `peers` divided by `reference`'s, as bars with a line at 1.0 (the reference),
    each bar labelled with its ratio."""
    longest = max((t[p] / t[reference] for _, data in panels for t in data.values()
                   for p in peers if p in t), default=1.0)
    limit = max(1.25, min(4.0, longest * 1.1))  # ratios beyond are drawn cut, with their number
    group = len(peers) * BAR + GAP
    height = TOP + len(rows) * group + 50
    width = LABEL_W + len(panels) * (PANEL_W + 40) + 10
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="11">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="10" y="18" font-size="14" font-weight="bold">{escape(title)}</text>',
           f'<text x="10" y="34" fill="#555">{escape(note)}</text>']
    x = 10
    for who in peers:
        out.append(f'<rect x="{x}" y="44" width="10" height="10" fill="{COLORS[who]}"/>'
                   f'<text x="{x + 14}" y="53">{escape(who)}</text>')
        x += 14 + 8 * len(who) + 16
    for i, (panel_title, data) in enumerate(panels):
        left = LABEL_W + i * (PANEL_W + 40)
        scale = PANEL_W / limit
        out.append(f'<text x="{left + PANEL_W / 2}" y="{TOP - 4}" text-anchor="middle" '
                   f'font-weight="bold">{escape(panel_title)}</text>')
        one = left + scale
        bottom = TOP + len(rows) * group
        out.append(f'<line x1="{one}" y1="{TOP}" x2="{one}" y2="{bottom}" stroke="#333" '
                   f'stroke-dasharray="3,2"/>')
        out.append(f'<text x="{one}" y="{bottom + 14}" text-anchor="middle">1.0 = '
                   f'{escape(reference)}</text>')
        out.append(f'<text x="{left + PANEL_W}" y="{bottom + 14}" text-anchor="end">'
                   f'{limit:.2f}</text>')
        for r, row in enumerate(rows):
            y = TOP + r * group
            if i == 0:
                out.append(f'<text x="{LABEL_W - 6}" y="{y + len(peers) * BAR / 2 + 4}" '
                           f'text-anchor="end">{escape(row)}</text>')
            times = data.get(row)
            if times is None:
                continue
            for p, who in enumerate(peers):
                if who not in times:
                    continue
                ratio = times[who] / times[reference]
                w = min(ratio, limit) * scale
                by = y + p * BAR
                out.append(f'<rect x="{left}" y="{by}" width="{w:.1f}" height="{BAR - 1}" '
                           f'fill="{COLORS[who]}"><title>{escape(who)} {escape(row)}: '
                           f'{times[who] * 1e3:.3f} ms</title></rect>')
                out.append(f'<text x="{left + w + 3:.1f}" y="{by + BAR - 1}" font-size="9">'
                           f'{ratio:.2f}</text>')
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
