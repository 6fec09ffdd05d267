"""Seeded HTML documents of several kinds whose source order is the order in
which a person reads them.  Each builder returns (html, info); layout.py reads
the regions back from WeasyPrint's layout."""
import random

from text import Text, css_str, esc

SERIF = ["DejaVu Serif", "Liberation Serif", "FreeSerif", "Nimbus Roman",
         "C059", "P052", "URW Bookman"]
SANS = ["DejaVu Sans", "Liberation Sans", "FreeSans", "Nimbus Sans",
        "URW Gothic", "Nimbus Sans Narrow"]
PAGE_SIZES = {"A4": "210mm 297mm", "Letter": "8.5in 11in"}


class Doc:
    """Helpers shared by the builders: region markup and filler content."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.t = Text(self.rng)
        self.n = 0
        self.fig = 0
        self.tab = 0
        self.eq = 0
        self.fn = 0

    def key(self):
        self.n += 1
        return f"r{self.n}"

    def reg(self, tag, label, content, role=None, cls=None, style=None,
            chain=None, solid=False, unordered=False, nolines=False):
        a = [f'data-r="{self.key()}"', f'data-label="{label}"']
        if role:
            a.append(f'data-role="{role}"')
        if chain:
            a.append(f'data-chain="{chain}"')
        if solid:
            a.append('data-solid="1"')
        if unordered:
            a.append('data-unordered="1"')
        if nolines:
            a.append('data-nolines="1"')
        if cls:
            a.append(f'class="{cls}"')
        if style:
            a.append(f'style="{style}"')
        return f"<{tag} {' '.join(a)}>{content}</{tag}>"

    # -- content pieces -------------------------------------------------
    def para(self, lo=3, hi=8, cls=None, role=None, chain=None, footnote=False):
        txt = esc(self.t.paragraph(lo, hi))
        if footnote:
            cut = txt.rfind(" ", 0, max(10, len(txt) * 2 // 3))
            txt = txt[:cut] + self.footnote() + txt[cut:]
        return self.reg("p", "text", txt, role=role, cls=cls, chain=chain)

    def footnote(self):
        self.fn += 1
        return self.reg("span", "footnote", esc(self.t.sentence(6, 30)),
                        role="footnote", cls="fn")

    def heading(self, level, text, label="section-header", cls=None, role=None, chain=None):
        return self.reg(f"h{level}", label, esc(text), cls=cls, role=role, chain=chain)

    def picture(self, h, cls="pic", style="", chain=None, unordered=False):
        shade = self.rng.choice(["#d8d8d8", "#c9d6e3", "#e3d9c9", "#d0e0d0", "#bbbbbb"])
        return self.reg("div", "picture", "", cls=cls, solid=True, chain=chain,
                        style=f"height:{h}px;background:{shade};{style}",
                        unordered=unordered)

    def caption(self, kind, chain=None, cls="cap"):
        if kind == "Figure":
            self.fig += 1
            n = self.fig
        else:
            self.tab += 1
            n = self.tab
        label = self.rng.choice([f"{kind} {n}:", f"{kind} {n}.", f"{kind[:3]}. {n}."])
        txt = f"<b>{label}</b> " + esc(self.t.sentence(5, 30))
        if self.rng.random() < 0.3:
            txt += " " + esc(self.t.sentence(5, 18))
        return self.reg("p", "caption", txt, role="caption", cls=cls, chain=chain)

    def table(self, rows=None, cols=None, chain=None, cls="tab"):
        rows = rows or self.rng.randint(3, 9)
        cols = cols or self.rng.randint(3, 6)
        head = "".join(f"<th>{esc(self.t.words(self.rng.randint(1, 2)))}</th>" for _ in range(cols))
        body = ""
        for _ in range(rows):
            cells = [esc(self.t.words(self.rng.randint(1, 2)))]
            cells += [f"{self.rng.uniform(0, 100):.{self.rng.randint(0, 2)}f}" for _ in range(cols - 1)]
            body += "<tr>" + "".join(f"<td>{c}</td>" for c in cells) + "</tr>"
        return self.reg("table", "table", f"<thead><tr>{head}</tr></thead><tbody>{body}</tbody>",
                        solid=True, chain=chain, cls=cls)

    def formula(self):
        self.eq += 1
        t = self.t
        sym = self.rng.choice(["x", "y", "z", "f", "u", "&#955;", "&#963;", "&#952;"])
        parts = [f"<i>{sym}</i><sub>{self.rng.choice('ijkn')}</sub>", "="]
        for _ in range(self.rng.randint(2, 5)):
            parts.append(self.rng.choice(["&#8721;", "&#8747;", "", "", "&#8730;"]) +
                         f"<i>{self.rng.choice('abcdpqrst')}</i><sup>{self.rng.randint(2, 4)}</sup>")
            parts.append(self.rng.choice(["+", "&#8722;", "&#183;", "/"]))
        parts.append(f"<i>{self.rng.choice('cmwk')}</i>")
        num = f"({self.eq})" if self.rng.random() < 0.85 else ""
        inner = (f'<span class="eqb">{" ".join(parts)}</span><span class="eqn">{num}</span>')
        return self.reg("div", "formula", inner, cls="eq", nolines=True)

    def items(self, n=None, ordered=False, role=None, chain=None, cls=None, lo=4, hi=30):
        n = n or self.rng.randint(2, 6)
        lis = "".join(self.reg("li", "list-item", esc(self.t.sentence(lo, hi)), role=role, chain=chain)
                      for _ in range(n))
        tag = "ol" if ordered else "ul"
        c = f' class="{cls}"' if cls else ""
        return f"<{tag}{c}>{lis}</{tag}>"


# ---------------------------------------------------------------------------
# scientific papers
# ---------------------------------------------------------------------------
def paper(seed, ncols):
    d = Doc(seed)
    r, t = d.rng, d.t
    size = r.choice(["A4", "Letter"])
    font = r.choice(SERIF * 3 + SANS)
    if ncols == 1:
        fs, side, gap = r.uniform(10, 12), r.uniform(22, 38), 0
    elif ncols == 2:
        fs, side, gap = r.uniform(8.8, 10.5), r.uniform(14, 22), r.choice([7, 8, 9, 10, 12, 13, 16, 20, 24])
    else:
        fs, side, gap = r.uniform(7.8, 9), r.uniform(10, 16), r.choice([7, 8, 10, 12, 14, 18])
    top, bottom = r.uniform(15, 25), r.uniform(16, 26)
    lh = r.uniform(1.15, 1.35)
    journal = t.title_words(r.randint(2, 5))
    short = t.title_words(r.randint(3, 6))
    first_page = r.randint(1, 900)
    head = r.choice(["journal+num", "short+bottomnum", "alternate", "bottomonly", "bottom-corner"])
    mb = {}
    if head == "journal+num":
        mb = {"all": {"@top-left": css_str(journal), "@top-right": "counter(page)"}}
    elif head == "short+bottomnum":
        mb = {"all": {"@top-center": css_str(short), "@bottom-center": "counter(page)"},
              "first": {"@top-center": "none"}}
    elif head == "alternate":
        authors_short = t.name() + " et al."
        mb = {"left": {"@top-left": "counter(page)", "@top-right": css_str(authors_short)},
              "right": {"@top-left": css_str(short), "@top-right": "counter(page)"},
              "first": {"@top-left": css_str(journal), "@top-right": "none", "@bottom-center": "counter(page)"}}
    elif head == "bottomonly":
        mb = {"all": {"@bottom-center": "counter(page)"},
              "first": {"@bottom-left": css_str(t.words(r.randint(3, 7), cap=True))}}
    else:
        mb = {"all": {"@bottom-right": "counter(page)", "@bottom-left": css_str(journal)}}
    css = page_css(size, top, side, bottom, side, mb, fs * 0.85, font, first_page)
    css += f"""
    html {{ font-family: '{font}'; font-size: {fs:.2f}pt; line-height: {lh:.2f}; }}
    body {{ margin: 0 }}
    p {{ margin: 0 0 {r.uniform(0, 0.5):.2f}em; text-align: justify; hyphens: auto;
         text-indent: {r.choice([0, 0, 1, 1.5]):.1f}em }}
    .cols {{ column-count: {ncols}; column-gap: {gap}px; column-fill: balance }}
    h1.title {{ font-size: {r.uniform(1.5, 2.3) * fs:.1f}pt; text-align: {r.choice(['center', 'center', 'left'])};
               margin: 0 0 0.4em; line-height: 1.15; font-weight: bold }}
    .authors, .affil {{ text-align: {r.choice(['center', 'left'])}; text-indent: 0 }}
    .affil {{ font-size: 0.85em; font-style: italic }}
    h2 {{ font-size: {r.uniform(1.0, 1.3):.2f}em; margin: 0.8em 0 0.3em; break-after: avoid;
          text-transform: {r.choice(['none', 'none', 'uppercase'])} }}
    h3 {{ font-size: 1em; margin: 0.6em 0 0.2em; break-after: avoid; font-style: italic }}
    h2.abs-h {{ text-align: center; margin-top: 0.6em }}
    p.abstract {{ margin: 0 {r.choice([0, 4, 8, 12])}% 0.8em; font-size: 0.92em; text-indent: 0 }}
    .pic {{ width: {r.choice([100, 100, 90, 80])}%; margin: 0.5em auto 0.3em }}
    .cap {{ font-size: 0.85em; text-indent: 0; margin-bottom: 0.8em }}
    .fig, .tabw {{ break-inside: avoid; }}
    .span {{ column-span: all; margin: 0.5em 0 }}
    table {{ border-collapse: collapse; font-size: 0.8em; margin: 0.2em auto 0.8em; break-inside: avoid }}
    th, td {{ padding: 1px 4px; border-bottom: 0.5px solid #555 }}
    .eq {{ display: flex; justify-content: space-between; margin: 0.5em 0 }}
    .eqb {{ flex: 1; text-align: center }}
    ul, ol {{ margin: 0.2em 0 0.5em; padding-left: 1.5em }}
    .fn {{ float: footnote; font-size: 0.8em; text-indent: 0 }}
    .refs li {{ font-size: 0.85em }}
    .kw {{ font-size: 0.9em; text-indent: 0 }}
    """
    h = []
    h.append(d.reg("h1", "title", esc(t.title_words(r.randint(5, 14))), cls="title"))
    names = ", ".join(t.name() for _ in range(r.randint(1, 6)))
    authors = esc(names)
    if r.random() < 0.5:
        authors += d.footnote()
    h.append(d.reg("p", "text", authors, role="author", cls="authors"))
    for _ in range(r.randint(0, 3)):
        h.append(d.reg("p", "text", esc(t.words(r.randint(5, 14), cap=True)), role="affiliation", cls="affil"))
    abstract_in_col = ncols > 1 and r.random() < 0.35
    abs_html = (d.heading(2, "Abstract", cls="abs-h" if not abstract_in_col else None, role="abstract-heading") +
                d.reg("p", "text", esc(t.paragraph(4, 9)), role="abstract", cls="abstract"))
    if r.random() < 0.4:
        abs_html += d.reg("p", "text", "<i>Keywords:</i> " + esc(t.words(r.randint(4, 10))), role="keywords", cls="kw")
    if not abstract_in_col:
        h.append(abs_html)
    body = [abs_html] if abstract_in_col else []
    nsec = r.randint(3, 7)
    allow_fn = ncols == 1
    for s in range(1, nsec + 1):
        body.append(d.heading(2, f"{s} {t.title_words(r.randint(1, 4))}" if r.random() < 0.8 else t.title_words(r.randint(1, 4))))
        for _ in range(r.randint(1, 4)):
            body.append(d.para(2, 7, footnote=allow_fn and r.random() < 0.12))
            x = r.random()
            if x < 0.10:
                body.append(d.formula())
            elif x < 0.20:
                body.append('<div class="fig">' + d.picture(r.randint(80, 220)) + d.caption("Figure") + "</div>")
            elif x < 0.27 and ncols > 1:
                body.append('<div class="span fig">' + d.picture(r.randint(120, 260)) + d.caption("Figure") + "</div>")
            elif x < 0.33:
                body.append('<div class="tabw">' + d.caption("Table") + d.table(cols=r.randint(2, 3 if ncols == 3 else 5)) + "</div>")
            elif x < 0.37 and ncols > 1:
                body.append('<div class="span tabw">' + d.caption("Table") + d.table(cols=r.randint(4, 8)) + "</div>")
            elif x < 0.43:
                body.append(d.items(ordered=r.random() < 0.4))
            if r.random() < 0.2:
                body.append(d.heading(3, f"{s}.{r.randint(1, 4)} {t.title_words(r.randint(1, 4))}"))
    body.append(d.heading(2, "References"))
    body.append(d.items(r.randint(4, 14), ordered=r.random() < 0.5, role="reference", cls="refs", lo=8, hi=22))
    h.append(f'<div class="cols">{"".join(body)}</div>' if ncols > 1 else "".join(body))
    return wrap(css, h), {"kind": f"paper-{ncols}col", "page_size": size, "font": font,
                         "columns": ncols, "column_gap_css_px": gap}


# ---------------------------------------------------------------------------
# reports
# ---------------------------------------------------------------------------
def report(seed):
    d = Doc(seed)
    r, t = d.rng, d.t
    size = r.choice(["A4", "Letter"])
    font = r.choice(SANS * 2 + SERIF)
    fs = r.uniform(9.5, 11.5)
    side = r.uniform(18, 30)
    org = t.title_words(r.randint(1, 3))
    title = t.title_words(r.randint(3, 8))
    foot = r.choice(["page-of", "num-right", "num-center"])
    mb = {"all": {"@top-left": css_str(org), "@top-right": css_str(t.title_words(r.randint(2, 4)))}}
    if foot == "page-of":
        mb["all"]["@bottom-right"] = '"Page " counter(page) " of " counter(pages)'
        mb["all"]["@bottom-left"] = css_str(r.choice(["Confidential", "Draft", "Internal use only", "Public"]))
    elif foot == "num-right":
        mb["all"]["@bottom-right"] = "counter(page)"
    else:
        mb["all"]["@bottom-center"] = "counter(page)"
    mb["first"] = {"@top-left": "none", "@top-right": "none"}
    css = page_css(size, r.uniform(18, 25), side, r.uniform(18, 25), side, mb, fs * 0.8, font, 1)
    two_col_part = r.random() < 0.3
    gap = r.choice([8, 10, 14, 20])
    css += f"""
    html {{ font-family: '{font}'; font-size: {fs:.2f}pt; line-height: {r.uniform(1.2, 1.5):.2f} }}
    p {{ margin: 0 0 {r.uniform(0.4, 0.9):.2f}em; text-align: {r.choice(['left', 'justify'])}; hyphens: auto }}
    h1.title {{ font-size: {r.uniform(1.8, 2.6) * fs:.1f}pt; margin: 1.5em 0 0.3em; line-height: 1.15 }}
    .subtitle {{ font-size: 1.3em; margin-bottom: 0.3em }}
    .meta {{ font-size: 0.9em; color: #444; margin-bottom: 1.5em }}
    h2 {{ font-size: 1.35em; margin: 1em 0 0.4em; break-after: avoid; color: #124 }}
    h3 {{ font-size: 1.1em; margin: 0.8em 0 0.3em; break-after: avoid }}
    .pic {{ width: {r.choice([100, 80, 70, 60])}%; margin: 0.6em auto 0.3em }}
    .cap {{ font-size: 0.85em; margin-bottom: 1em; {r.choice(['text-align: center;', ''])} }}
    .fig, .tabw, .callout {{ break-inside: avoid }}
    table {{ border-collapse: collapse; font-size: 0.85em; margin: 0.3em auto 1em; width: {r.choice(['100%', 'auto'])} }}
    th {{ background: #dde; }} th, td {{ padding: 2px 6px; border: 0.5px solid #888 }}
    .callout {{ border: 1px solid #99a; background: #f0f0f6; padding: 6px 10px; margin: 0.6em 0 1em }}
    .callout h3 {{ margin-top: 0 }}
    .kpis {{ display: flex; gap: {r.choice([8, 14, 20])}px; margin: 0.8em 0 1.2em; break-inside: avoid }}
    .kpi {{ flex: 1; border-top: 3px solid #358; padding-top: 4px }}
    .kpi .num {{ font-size: 2em; font-weight: bold; margin: 0 }}
    .kpi .lab {{ font-size: 0.85em; margin: 0 }}
    .cols {{ column-count: 2; column-gap: {gap}px }}
    ul, ol {{ margin: 0.2em 0 0.8em; padding-left: 1.6em }}
    li {{ margin-bottom: 0.2em }}
    .fn {{ float: footnote; font-size: 0.8em }}
    .eq {{ display: flex; justify-content: space-between; margin: 0.5em 0 }}
    .eqb {{ flex: 1; text-align: center }}
    """
    h = [d.reg("h1", "title", esc(title), cls="title"),
         d.reg("p", "text", esc(t.title_words(r.randint(3, 9))), role="subtitle", cls="subtitle"),
         d.reg("p", "text", esc(t.name() + ", " + t.words(3, cap=True) + " " + str(r.randint(1990, 2030))),
               role="author", cls="meta")]
    nsec = r.randint(3, 6)
    for s in range(1, nsec + 1):
        h.append(d.heading(2, f"{s}. {t.title_words(r.randint(1, 5))}"))
        if s == 1 and r.random() < 0.5:
            k = r.randint(2, 4)
            boxes = "".join('<div class="kpi">' + d.reg("p", "text", f"{r.randint(1, 999)}{r.choice(['%', '', 'k', ' M'])}", role="figure-number", cls="num") +
                            d.reg("p", "text", esc(t.words(r.randint(2, 6), cap=True)), cls="lab") + "</div>" for _ in range(k))
            h.append(f'<div class="kpis">{boxes}</div>')
        inner = []
        for _ in range(r.randint(1, 4)):
            inner.append(d.para(2, 6, footnote=r.random() < 0.12))
            x = r.random()
            if x < 0.15:
                inner.append(d.items(ordered=r.random() < 0.3))
            elif x < 0.27:
                inner.append('<div class="tabw">' + d.caption("Table") + d.table() + "</div>")
            elif x < 0.39:
                inner.append('<div class="fig">' + d.picture(r.randint(120, 300)) + d.caption("Figure") + "</div>")
            elif x < 0.45:
                inner.append('<div class="callout">' + d.heading(3, t.title_words(r.randint(1, 3)), role="callout-heading") +
                             d.para(1, 3, role="callout") + "</div>")
            elif x < 0.49:
                inner.append(d.formula())
            if r.random() < 0.25:
                inner.append(d.heading(3, f"{s}.{r.randint(1, 5)} {t.title_words(r.randint(1, 4))}"))
        if two_col_part and s == 2:
            inner = [x for x in inner if "<table" not in x]   # no tables inside the columns
            h.append(f'<div class="cols">{"".join(inner)}</div>')
        else:
            h.extend(inner)
    return wrap(css, h), {"kind": "report", "page_size": size, "font": font,
                         "columns": 2 if two_col_part else 1}


# ---------------------------------------------------------------------------
# magazines
# ---------------------------------------------------------------------------
def magazine(seed):
    d = Doc(seed)
    r, t = d.rng, d.t
    size = r.choice(["Letter", "8.27in 10.83in", "230mm 297mm", "A4"])
    font = r.choice(SERIF + SANS)
    hfont = r.choice(SANS + SERIF)
    ncols = r.choice([2, 3, 3, 3, 4])
    fs = {2: r.uniform(9.5, 11), 3: r.uniform(8.5, 10), 4: r.uniform(7.8, 8.8)}[ncols]
    gap = r.choice([7, 9, 11, 14, 18, 24])
    mag = t.title_words(r.randint(1, 2)).upper()
    month = r.choice(["JANUARY", "MARCH", "MAY", "JULY", "SEPTEMBER", "NOVEMBER"]) + f" {r.randint(1995, 2030)}"
    folio = r.choice(["split", "center", "left-both"])
    if folio == "split":
        mb = {"left": {"@bottom-left": "counter(page)", "@bottom-right": css_str(f"{mag} | {month}")},
              "right": {"@bottom-left": css_str(f"{mag} | {month}"), "@bottom-right": "counter(page)"}}
    elif folio == "center":
        mb = {"all": {"@bottom-center": "counter(page)", "@top-left": css_str(t.title_words(1).upper())},
              "first": {"@top-left": "none"}}
    else:
        mb = {"all": {"@bottom-left": "counter(page)", "@bottom-center": css_str(mag)}}
    side = r.uniform(10, 18)
    css = page_css(size, r.uniform(12, 20), side, r.uniform(14, 20), side, mb, 7.5, hfont, r.randint(10, 180))
    css += f"""
    html {{ font-family: '{font}'; font-size: {fs:.2f}pt; line-height: {r.uniform(1.2, 1.4):.2f} }}
    p {{ margin: 0 0 {r.uniform(0, 0.6):.2f}em; text-align: {r.choice(['justify', 'justify', 'left'])}; hyphens: auto;
         text-indent: {r.choice([0, 1])}em }}
    .kicker {{ font-family: '{hfont}'; font-size: 0.95em; letter-spacing: 2px; color: #b22; text-indent: 0; margin: 0 }}
    h1.head {{ font-family: '{hfont}'; font-size: {r.uniform(26, 44):.0f}pt; line-height: 1.05; margin: 0.1em 0 0.2em;
               text-align: {r.choice(['left', 'center'])} }}
    .deck {{ font-family: '{hfont}'; font-size: 1.35em; line-height: 1.25; text-indent: 0; margin-bottom: 0.4em }}
    .byline {{ font-size: 0.9em; text-transform: uppercase; text-indent: 0; margin-bottom: 0.8em }}
    .cols {{ column-count: {ncols}; column-gap: {gap}px; column-fill: balance }}
    .span {{ column-span: all; margin: 0.4em 0 0.8em }}
    .pic {{ width: 100%; margin: 0.2em 0 0.2em }}
    .cap {{ font-size: 0.8em; font-style: italic; text-indent: 0; margin-bottom: 0.8em }}
    .fig {{ break-inside: avoid }}
    h3 {{ font-family: '{hfont}'; font-size: 1.1em; margin: 0.6em 0 0.2em; break-after: avoid }}
    .pull {{ font-family: '{hfont}'; font-size: 1.6em; line-height: 1.2; font-style: italic; text-align: center;
             border-top: 2px solid #b22; border-bottom: 2px solid #b22; padding: 4px 0; margin: 0.6em 0;
             text-indent: 0; break-inside: avoid }}
    .sidebar {{ background: #efe9dc; padding: 8px 10px; margin: 0.8em 0 0.4em; break-inside: avoid }}
    .sidebar h3 {{ margin-top: 0 }}
    .sidebar p {{ font-size: 0.92em; text-indent: 0 }}
    .sidebar ul {{ padding-left: 1.3em; margin: 0 }}
    .drop::first-letter {{ font-size: 1.6em; font-weight: bold }}
    """
    h = []
    if r.random() < 0.7:
        h.append(d.reg("p", "text", esc(t.title_words(r.randint(1, 2)).upper()), role="kicker", cls="kicker"))
    h.append(d.reg("h1", "title", esc(t.title_words(r.randint(2, 7))), role="headline", cls="head"))
    if r.random() < 0.85:
        h.append(d.reg("p", "text", esc(t.sentence(10, 30)), role="deck", cls="deck"))
    byline = d.reg("p", "text", esc("By " + t.name()), role="byline", cls="byline")
    lead_first = r.random() < 0.5
    if not lead_first:
        h.append(byline)
    body = []
    if r.random() < 0.75:
        body.append('<div class="span fig">' + d.picture(r.randint(160, 330)) + d.caption("Figure") + "</div>")
    if lead_first:
        body.append(f'<div class="span">{byline}</div>')
    first = True
    for s in range(r.randint(3, 6)):
        if s > 0 and r.random() < 0.7:
            body.append(d.heading(3, t.title_words(r.randint(1, 4)), role="crosshead"))
        for _ in range(r.randint(2, 4)):
            body.append(d.para(3, 7, cls="drop" if first and r.random() < 0.5 else None))
            first = False
            x = r.random()
            if x < 0.12:
                body.append(d.reg("p", "text", "&#8220;" + esc(t.sentence(6, 16)) + "&#8221;", role="pull-quote", cls="pull"))
            elif x < 0.22:
                body.append('<div class="fig">' + d.picture(r.randint(90, 200)) + d.caption("Figure") + "</div>")
            elif x < 0.26 and ncols > 2:
                body.append('<div class="span fig">' + d.picture(r.randint(120, 240)) + d.caption("Figure") + "</div>")
    if r.random() < 0.6:
        side_h = d.heading(3, t.title_words(r.randint(1, 4)), role="sidebar-heading", chain="sidebar")
        side_b = "".join(d.para(1, 3, role="sidebar", chain="sidebar") for _ in range(r.randint(1, 2)))
        if r.random() < 0.5:
            side_b += d.items(r.randint(2, 4), role="sidebar", chain="sidebar", lo=3, hi=12)
        cls = "sidebar span" if r.random() < 0.5 else "sidebar"
        body.append(f'<div class="{cls}">{side_h}{side_b}</div>')
    h.append(f'<div class="cols">{"".join(body)}</div>')
    return wrap(css, h), {"kind": "magazine", "page_size": size, "font": font, "columns": ncols,
                         "column_gap_css_px": gap}


# ---------------------------------------------------------------------------
# books
# ---------------------------------------------------------------------------
def book(seed):
    d = Doc(seed)
    r, t = d.rng, d.t
    size = r.choice(["5.5in 8.5in", "6in 9in", "148mm 210mm", "5in 8in", "156mm 234mm"])
    font = r.choice(SERIF * 3 + SANS)
    fs = r.uniform(9.5, 12)
    btitle = t.title_words(r.randint(1, 5))
    chap = r.randint(1, 24)
    ctitle = t.title_words(r.randint(1, 6))
    style = r.choice(["heads-num-top", "bottom-center", "heads-bottom-num"])
    if style == "heads-num-top":
        mb = {"left": {"@top-left": "counter(page)", "@top-center": css_str(btitle.upper() if r.random() < 0.5 else btitle)},
              "right": {"@top-center": css_str(ctitle), "@top-right": "counter(page)"},
              "first": {"@top-left": "none", "@top-center": "none", "@top-right": "none",
                        "@bottom-center": "counter(page)" if r.random() < 0.7 else "none"}}
    elif style == "bottom-center":
        mb = {"all": {"@bottom-center": "counter(page)"}}
    else:
        mb = {"left": {"@top-left": css_str(btitle)}, "right": {"@top-right": css_str(ctitle)},
              "all": {"@bottom-center": "counter(page)"},
              "first": {"@top-left": "none", "@top-right": "none"}}
    inner, outer = r.uniform(16, 25), r.uniform(12, 20)
    css = page_css(size, r.uniform(14, 22), outer, r.uniform(16, 24), inner, mb, fs * 0.85, font,
                   r.randint(3, 350), mirror=True)
    css += f"""
    html {{ font-family: '{font}'; font-size: {fs:.2f}pt; line-height: {r.uniform(1.25, 1.5):.2f} }}
    p {{ margin: 0; text-align: justify; hyphens: auto; text-indent: {r.uniform(1, 2):.1f}em }}
    p.noind {{ text-indent: 0 }}
    .chapno {{ font-size: {r.uniform(1.1, 1.6):.2f}em; text-align: {r.choice(['center', 'left'])}; margin: {r.uniform(3, 9):.1f}em 0 0.3em; letter-spacing: 1px }}
    .chaptitle {{ font-size: {r.uniform(1.5, 2.4):.2f}em; text-align: {r.choice(['center', 'left'])}; margin: 0 0 1.5em; line-height: 1.2; font-weight: normal }}
    .epigraph {{ margin: 0 0 1.5em 35%; font-style: italic; font-size: 0.9em; text-indent: 0; text-align: left }}
    .quote {{ margin: 0.6em 2em; font-size: 0.92em; text-indent: 0 }}
    h3 {{ font-size: 1em; text-align: center; margin: 1.2em 0 0.6em; font-weight: {r.choice(['bold', 'normal'])}; break-after: avoid }}
    .fn {{ float: footnote; font-size: 0.8em; text-indent: 0 }}
    .pic {{ width: {r.choice([100, 80, 60])}%; margin: 0.8em auto 0.3em }}
    .cap {{ font-size: 0.85em; text-align: center; text-indent: 0; margin-bottom: 0.8em }}
    .fig {{ break-inside: avoid }}
    ul, ol {{ margin: 0.4em 0; padding-left: 2em }}
    """
    h = [d.reg("h2", "section-header", esc(r.choice([f"Chapter {chap}", f"CHAPTER {chap}", str(chap), f"{chap}"])), role="chapter-number", cls="chapno"),
         d.reg("h1", "section-header", esc(ctitle), role="chapter-title", cls="chaptitle")]
    if r.random() < 0.3:
        h.append(d.reg("p", "text", esc(t.sentence(8, 25)), role="epigraph", cls="epigraph"))
    nonfiction = r.random() < 0.5
    first = True
    for s in range(r.randint(2, 5)):
        if s > 0:
            if nonfiction:
                h.append(d.heading(3, t.title_words(r.randint(1, 5))))
            else:
                # a scene break ornament: on the page, but not read
                h.append(d.reg("h3", "text", "*&#160;&#160;*&#160;&#160;*", role="ornament", unordered=True))
            first = True
        for _ in range(r.randint(3, 9)):
            h.append(d.para(2, 9, cls="noind" if first else None, footnote=nonfiction and r.random() < 0.2))
            first = False
            x = r.random()
            if x < 0.08:
                h.append(d.reg("p", "text", esc(t.paragraph(2, 4)), role="quote", cls="quote"))
            elif x < 0.13 and nonfiction:
                h.append('<div class="fig">' + d.picture(r.randint(100, 260)) + d.caption("Figure") + "</div>")
            elif x < 0.16 and nonfiction:
                h.append(d.items(ordered=r.random() < 0.5))
    return wrap(css, h), {"kind": "book", "page_size": size, "font": font, "columns": 1}


# ---------------------------------------------------------------------------
# slides
# ---------------------------------------------------------------------------
def slides(seed):
    d = Doc(seed)
    r, t = d.rng, d.t
    w, hgt = r.choice([(10, 5.625), (10, 7.5), (13.333, 7.5)])
    font = r.choice(SANS * 3 + SERIF)
    fs = r.uniform(15, 20) * w / 10
    event = t.title_words(r.randint(2, 4)) + f" {r.randint(2000, 2030)}"
    foot = r.choice(["left+right", "center", "right"])
    if foot == "left+right":
        mb = {"all": {"@bottom-left": css_str(event), "@bottom-right": "counter(page)"}}
    elif foot == "center":
        mb = {"all": {"@bottom-center": "counter(page)"}}
    else:
        mb = {"all": {"@bottom-right": "counter(page)"}}
    mb.setdefault("first", {})
    mb["first"].update({k: "none" for k in ("@bottom-left", "@bottom-right", "@bottom-center")})
    mx = r.uniform(0.4, 0.8) * 25.4
    css = page_css(f"{w}in {hgt}in", 0.35 * 25.4, mx, 0.45 * 25.4, mx, mb, fs * 0.55, font, 1)
    content_h = (hgt - 0.8) * 96
    css += f"""
    html {{ font-family: '{font}'; font-size: {fs:.1f}pt; line-height: 1.2 }}
    .slide {{ height: {content_h - 4:.0f}px; position: relative; break-after: page; overflow: hidden }}
    .slide:last-child {{ break-after: auto }}
    h1.st {{ font-size: 1.6em; margin: 0.2em 0 0.5em; color: #123; padding-right: 1.4in }}
    h1.tt {{ font-size: 2.2em; margin: 1.2in 0 0.3em; text-align: center }}
    .sub {{ text-align: center; font-size: 1.1em; margin: 0.3em 0 }}
    ul {{ margin: 0; padding-left: 1.2em }}
    li {{ margin: 0 0 0.35em }}
    ul ul li {{ font-size: 0.85em }}
    .row {{ display: flex; gap: {r.choice([0.2, 0.3, 0.5])}in }}
    .row > div {{ flex: 1 }}
    .pic {{ width: 100% }}
    .cap {{ font-size: 0.6em; margin: 0.2em 0 0.5em; text-align: center }}
    .logo {{ position: absolute; top: 0; right: 0; width: 1.1in }}
    h2 {{ font-size: 1.05em; margin: 0 0 0.3em }}
    table {{ border-collapse: collapse; font-size: 0.65em; margin: 0 auto }}
    th, td {{ border: 1px solid #777; padding: 2px 8px }}
    """
    pages = []
    n = r.randint(4, 8)
    logo = r.random() < 0.5
    avail_h = content_h - 1.0 * 96

    def bullets(k, short=False):
        out = "<ul>"
        for _ in range(k):
            out += d.reg("li", "list-item", esc(t.sentence(3, 9 if short else 14)))
        return out + "</ul>"

    for i in range(n):
        parts = []
        if logo:
            parts.append(d.picture(0.45 * 96, cls="logo", unordered=True))
        if i == 0:
            parts.append(d.reg("h1", "title", esc(t.title_words(r.randint(3, 8))), cls="tt"))
            parts.append(d.reg("p", "text", esc(t.sentence(4, 10)), role="subtitle", cls="sub"))
            parts.append(d.reg("p", "text", esc(t.name() + " · " + event), role="author", cls="sub"))
            pages.append(parts)
            continue
        parts.append(d.reg("h1", "section-header", esc(t.title_words(r.randint(2, 6))), role="slide-title", cls="st"))
        kind = r.choice(["bullets", "bullets+pic", "pic+bullets", "two-col", "grid", "table"])
        if kind == "bullets":
            parts.append(bullets(r.randint(3, 5)))
        elif kind in ("bullets+pic", "pic+bullets"):
            pic = "<div>" + d.picture(avail_h * r.uniform(0.5, 0.8)) + (d.caption("Figure") if r.random() < 0.5 else "") + "</div>"
            bl = "<div>" + bullets(r.randint(2, 4), short=True) + "</div>"
            parts.append('<div class="row">' + (bl + pic if kind == "bullets+pic" else pic + bl) + "</div>")
        elif kind == "two-col":
            cols = ""
            for _ in range(2):
                cols += "<div>" + d.heading(2, t.title_words(r.randint(1, 3))) + bullets(r.randint(2, 3), short=True) + "</div>"
            parts.append('<div class="row">' + cols + "</div>")
        elif kind == "grid":
            k = r.choice([2, 3, 4])
            hh = avail_h * (0.6 if k < 4 else 0.25)
            cells = "".join("<div>" + d.picture(hh) + d.caption("Figure") + "</div>" for _ in range(min(k, 3)))
            parts.append('<div class="row">' + cells + "</div>")
            if k == 4:
                parts[-1] = ('<div class="row">' + "".join("<div>" + d.picture(hh) + d.caption("Figure") + "</div>" for _ in range(2)) + "</div>" +
                             '<div class="row">' + "".join("<div>" + d.picture(hh) + d.caption("Figure") + "</div>" for _ in range(2)) + "</div>")
        else:
            parts.append(d.table(rows=r.randint(2, 5), cols=r.randint(3, 5)))
            if r.random() < 0.6:
                parts.append(bullets(1, short=True))
        pages.append(parts)
    h = ["".join(f'<div class="slide">{"".join(p)}</div>' for p in pages)]
    return wrap(css, h), {"kind": "slides", "page_size": f"{w}in {hgt}in", "font": font,
                         "columns": 1, "expected_pages": n}


# ---------------------------------------------------------------------------
# newspapers
# ---------------------------------------------------------------------------
NEWSPAPER_SIZES = {"broadsheet": ("381mm", "578mm"), "berliner": ("315mm", "470mm"), "tabloid": ("280mm", "430mm")}


def newspaper(seed):
    """A newspaper issue of 2-3 pages in 4-6 columns, read article by article.

    Each page is a stack of bands; a band is a row of slots whose widths (in
    columns) fill the page; a slot holds one article, two short ones stacked,
    or an advertisement. An article is its headline across the slot's 2-4
    columns (a deck under it sometimes), a picture with its caption across
    them sometimes, and its body flowing down the slot's columns. The reading
    order is the source order: band by band, slot by slot left to right,
    article by article, each article's column down before the next."""
    d = Doc(seed)
    r, t = d.rng, d.t
    name, (pw, ph) = r.choice(sorted(NEWSPAPER_SIZES.items()))
    ncols = r.choice([4, 5, 5, 6, 6])
    font = r.choice(SERIF * 2 + SANS)
    hfont = r.choice(SERIF + SANS)
    fs = {4: r.uniform(9, 10), 5: r.uniform(8.5, 9.5), 6: r.uniform(8, 9)}[ncols]
    gap = r.choice([8, 10, 12, 15])
    side, top, bottom = r.uniform(10, 16), r.uniform(10, 16), r.uniform(12, 18)
    title = t.title_words(r.randint(1, 2))
    date = f"{r.choice(['Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday'])}, {r.randint(1, 28)} " \
           f"{r.choice(['January', 'April', 'June', 'August', 'October', 'December'])} {r.randint(1950, 2030)}"
    mb = {"all": {"@bottom-center": "counter(page)", "@top-left": css_str(title.upper()),
                  "@top-right": css_str(date)},
          "first": {"@top-left": "none", "@top-right": "none"}}
    css = page_css(f"{pw} {ph}", top, side, bottom, side, mb, 7.5, hfont, 1)
    rule = r.choice(["1px solid #777", "none"])
    css += f"""
    html {{ font-family: '{font}'; font-size: {fs:.2f}pt; line-height: {r.uniform(1.15, 1.3):.2f} }}
    p {{ margin: 0 0 {r.uniform(0, 0.4):.2f}em; text-align: {r.choice(['justify', 'justify', 'left'])}; hyphens: auto;
         text-indent: {r.choice([0, 1])}em }}
    .masthead {{ font-family: '{hfont}'; font-size: {r.uniform(40, 64):.0f}pt; text-align: center; margin: 0 0 8px;
                 line-height: 1.3 }}
    .dateline {{ text-align: center; font-size: 0.9em; text-indent: 0; border-bottom: 2px solid #000;
                 padding-bottom: 3px; margin-bottom: 8px }}
    .band {{ display: grid; grid-template-columns: repeat({ncols}, 1fr); column-gap: {gap}px; align-items: start;
             break-inside: avoid; margin-bottom: 8px; border-bottom: {rule}; padding-bottom: 4px }}
    .art {{ margin-bottom: 6px }}
    .art h2 {{ font-family: '{hfont}'; line-height: 1.1; margin: 0 0 0.25em; break-after: avoid }}
    .deck {{ font-family: '{hfont}'; font-size: 1.15em; text-indent: 0; margin-bottom: 0.3em }}
    .body {{ column-gap: {gap}px; column-fill: balance }}
    .pic {{ width: 100%; margin: 0.2em 0 0.1em }}
    .cap {{ font-size: 0.8em; font-style: italic; text-indent: 0; margin-bottom: 0.4em }}
    .ad {{ border: 1px solid #333; padding: 4px; text-align: center }}
    """

    def article(k, short=False):
        size = {1: 1.3, 2: 1.7, 3: 2.2, 4: 2.6}[k] * (0.8 if short else 1.0)
        parts = [d.reg("h2", "section-header", esc(t.title_words(r.randint(2, 6 if k > 1 else 3))),
                       role="headline", style=f"font-size:{size:.2f}em")]
        if k >= 2 and not short and r.random() < 0.4:
            parts.append(d.reg("p", "text", esc(t.sentence(8, 18)), role="deck", cls="deck"))
        if k >= 2 and not short and r.random() < 0.35:
            parts.append(d.picture(r.randint(120, 260)) + d.caption("Figure"))
        paras = r.randint(1, 2) * k + (0 if short else r.randint(1, 3))
        body = "".join(d.para(2, 5) for _ in range(paras))
        parts.append(f'<div class="body" style="column-count:{k}">{body}</div>')
        return f'<div class="art">{"".join(parts)}</div>'

    def advert(k):
        inner = d.reg("div", "picture", "", role="advert", solid=True,
                      style=f"height:{r.randint(80, 200)}px;background:#eee")
        return f'<div class="ad">{inner}</div>'

    def slots():
        """The widths of a band's slots, which fill the page's columns."""
        while True:
            widths, left = [], ncols
            while left > 0:
                k = r.choice([k for k in (1, 2, 3, 4) if k <= left and (k > 1 or ncols >= 5)] or [left])
                widths.append(k)
                left -= k
            if max(widths) >= 2:
                return widths

    pages = r.randint(2, 3)
    h = []
    for page in range(pages):
        bands = []
        if page == 0:
            bands.append(d.reg("h1", "title", esc(title), role="masthead", cls="masthead"))
            bands.append(d.reg("p", "text", esc(f"{date} | No. {r.randint(1, 30000)}"), role="dateline",
                               cls="dateline"))
        for _ in range(r.randint(2, 3)):
            ws = slots()
            out = []
            for i, k in enumerate(ws):
                x = r.random()
                if x < 0.12:
                    inner = advert(k)
                elif x < 0.3 and k <= 3:
                    inner = article(k, short=True) + article(k, short=True)
                else:
                    inner = article(k)
                out.append(f'<div class="slot" style="grid-column: span {k}">{inner}</div>')
            bands.append(f'<div class="band">{"".join(out)}</div>')
        style = ' style="break-after:page"' if page < pages - 1 else ""
        h.append(f'<div{style}>{"".join(bands)}</div>')
    return wrap(css, h), {"kind": "newspaper", "page_size": f"{pw} {ph}", "paper": name, "font": font,
                          "columns": ncols, "column_gap_css_px": gap}


# ---------------------------------------------------------------------------
def page_css(size, top, right, bottom, left, mb, mfs, mfont, first_page, mirror=False):
    """@page rules: size, margins (mm), margin-box content per page side."""
    size = PAGE_SIZES.get(size, size)
    out = [f"@page {{ size: {size}; margin: {top:.1f}mm {right:.1f}mm {bottom:.1f}mm {left:.1f}mm; }}"]
    if mirror:
        out.append(f"@page :left {{ margin-left: {right:.1f}mm; margin-right: {left:.1f}mm }}")
        out.append(f"@page :right {{ margin-left: {left:.1f}mm; margin-right: {right:.1f}mm }}")
    box_css = f"font-family: '{mfont}'; font-size: {mfs:.1f}pt;"
    order = [("all", "@page"), ("left", "@page :left"), ("right", "@page :right"), ("first", "@page :first")]
    for side, sel in order:
        boxes = mb.get(side, {})
        extra = f"counter-reset: page {first_page};" if side == "first" else ""
        rules = []
        for kw, content in boxes.items():
            va = "vertical-align: bottom;" if kw.startswith("@top") else "vertical-align: top;"
            pad = "padding-bottom: 4mm;" if kw.startswith("@top") else "padding-top: 4mm;"
            rules.append(f"{kw} {{ content: {content}; {box_css} {va} {pad} }}")
        if rules or extra:
            out.append(f"{sel} {{ {extra} {' '.join(rules)} }}")
    return "\n".join(out)


def wrap(css, parts):
    return (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><style>{css}</style></head>'
            f'<body>{"".join(parts)}</body></html>')


BUILDERS = {
    "paper-1col": lambda s: paper(s, 1),
    "paper-2col": lambda s: paper(s, 2),
    "paper-3col": lambda s: paper(s, 3),
    "report": report,
    "magazine": magazine,
    "book": book,
    "slides": slides,
    "newspaper": newspaper,
}
