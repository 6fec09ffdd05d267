"""Turn a WeasyPrint-rendered document into pages of regions in reading order.

The HTML that goes in marks every region with attributes:

  data-r      a key unique in the document; the element becomes one region,
              or several when the layout splits it (across columns or pages)
  data-label  the detector class name (DocLayNet-style)
  data-role   optional extra description (caption, abstract, pull-quote, ...)
  data-chain  "sidebar" puts the region in a second, independent chain
  data-solid  "1": the region is the element's border box (pictures, tables);
              otherwise it is the union of the text the element holds
  data-unordered "1": a decoration kept as an element but read by nobody
  data-nolines "1": one element in the text-line variant (formulas)

Page furniture comes from the @page margin boxes (running heads, footers and
page numbers); it has no element, so it is recognised by the margin box it
sits in and, for page numbers, by its text.

Reading order on a page is taken from the layout tree, which WeasyPrint
builds in document order: the margin boxes at the top (left to right), then
the body in tree order (a multi-column container holds its columns in column
order, with spanning elements between the column sets they separate), then
the footnote area, then the bottom margin boxes with the page number last.
"""
import re

PAGE_NUMBER_RE = re.compile(r"\s*(page\s+)?\d+(\s*(of|/)\s*\d+)?\s*", re.I)


def _rect(x, y, w, h):
    return (x, y, x + w, y + h)


def _union(rects):
    rects = [r for r in rects if r is not None]
    if not rects:
        return None
    return (min(r[0] for r in rects), min(r[1] for r in rects),
            max(r[2] for r in rects), max(r[3] for r in rects))


def _is_block_level(box):
    name = type(box).__name__
    if name == "AbsolutePlaceholder":
        name = type(box._box).__name__
    return name in {"BlockBox", "TableBox", "FlexBox", "GridBox",
                    "BlockReplacedBox", "InlineBlockBox"} or (
        name.endswith("Box") and "Block" in name)


def _text_rect(tb):
    if not getattr(tb, "text", "").strip() or not tb.width or not tb.height:
        return None
    return _rect(tb.position_x, tb.position_y, tb.width, tb.height)


def _children(box):
    return getattr(box, "children", None) or []


class Fragment:
    """One region on one page: all or part of a marked element."""

    def __init__(self, key, attrs, zone):
        self.key = key
        self.attrs = attrs
        self.zone = zone             # "head", "body", "foot" (footnotes), "tail"
        self.text_rects = []
        self.lines = []              # one rect per line box
        self.border = None
        self.markers = []

    def merge_markers(self):
        """Join each list marker to the line it stands beside."""
        for m in self.markers:
            if not self.lines:
                self.lines.append(m)
                continue
            def vov(ln):
                return min(ln[3], m[3]) - max(ln[1], m[1])
            k = max(range(len(self.lines)), key=lambda i: (vov(self.lines[i]), -i))
            self.lines[k] = _union([self.lines[k], m])
        self.markers = []

    @property
    def label(self):
        return self.attrs.get("data-label", "text")

    @property
    def rect(self):
        if self.attrs.get("data-solid") == "1" and self.border is not None:
            return self.border
        return _union(self.text_rects) or self.border


def _collect(box, frag, frags, zone, line=None):
    """Walk box's subtree, adding text to frag and starting new fragments at
    block-level boxes of other marked elements."""
    for child in _children(box):
        el = getattr(child, "element", None)
        key = el.get("data-r") if el is not None else None
        tag = getattr(child, "element_tag", "") or ""
        if key and key != (frag.key if frag else None) and _is_block_level(child) \
                and "::" not in tag:
            nf = Fragment(key, dict(el.attrib), zone)
            nf.border = _rect(child.border_box_x(), child.border_box_y(),
                              child.border_width(), child.border_height())
            frags.append(nf)
            _collect(child, nf, frags, zone)
            continue
        name = type(child).__name__
        if tag.endswith("::marker") and frag is not None:
            # a list bullet sits in a line box of its own; it belongs to the
            # item's first line, so it is merged into that line afterwards
            ms = [r for r in map(_text_rect, _iter_text(child)) if r is not None]
            frag.text_rects.extend(ms)
            if ms:
                frag.markers.append(_union(ms))
            continue
        if name == "LineBox" and frag is not None:
            ln = []
            _collect(child, frag, frags, zone, ln)
            r = _union(ln)
            if r is not None:
                frag.lines.append(r)
            continue
        if name == "TextBox" and frag is not None:
            r = _text_rect(child)
            if r is not None:
                frag.text_rects.append(r)
                if line is not None:
                    line.append(r)
            continue
        _collect(child, frag, frags, zone, line)


def page_fragments(page):
    """Return the fragments of one rendered page in reading order, plus the
    zone they belong to."""
    pb = page._page_box
    head, body, foot, tail = [], [], [], []
    margins = []
    for child in _children(pb):
        name = type(child).__name__
        if name == "MarginBox":
            margins.append(child)
        elif name == "FootnoteAreaBox":
            _collect(child, None, foot, "foot")
        else:
            _collect(child, None, body, "body")
    for mb in margins:
        kw = mb.at_keyword
        f = Fragment(kw, {}, "head" if kw.startswith("@top") else "tail")
        _collect(mb, f, [], f.zone)
        txt = "".join(t.text for t in _iter_text(mb))
        if not f.text_rects:
            continue
        is_num = bool(PAGE_NUMBER_RE.fullmatch(txt))
        f.attrs = {"data-label": "page-header" if f.zone == "head" else "page-footer"}
        if is_num:
            f.attrs["data-role"] = "page-number"
        else:
            f.attrs["data-role"] = "running-head" if f.zone == "head" else "running-foot"
        (head if f.zone == "head" else tail).append(f)
    for f in head + body + foot + tail:
        f.merge_markers()
    head.sort(key=lambda f: f.rect[0])
    # bottom: other furniture left to right, the page number last
    tail.sort(key=lambda f: (f.attrs.get("data-role") == "page-number", f.rect[0]))
    return head + body + foot + tail


def _iter_text(box):
    for c in _children(box):
        if type(c).__name__ == "TextBox":
            yield c
        else:
            yield from _iter_text(c)
