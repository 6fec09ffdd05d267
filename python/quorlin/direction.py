"""Reading direction: which way a page is read, as its file says or as its text shows.

Three directions are read:

* ``ltr`` - rows top to bottom, each left to right (Latin, Greek, Cyrillic, ...);
* ``rtl`` - rows top to bottom, each right to left: columns are read from
  the right (Arabic, Hebrew, Syriac, ...);
* ``ttb`` - vertical text: columns from right to left, each top to bottom
  (Chinese, Japanese and Korean set vertically).

``auto`` takes the direction from the file where the format says it (PAGE
``readingDirection`` and ``primaryScript``, hOCR and HTML ``dir`` and
``lang``, ALTO ``LANG``), else from the text itself (the Unicode direction of
its letters, and for CJK text the shape of its lines), else ``ltr``.
:class:`Decided` says which, and why, for ``explain`` and ``--verbose``.
"""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Callable, Iterable

from .page import Box, Decided

__all__ = ["DIRECTIONS", "Decided", "from_text", "from_lines", "from_script", "from_language", "from_words",
           "decide", "most_common", "LTR"]

#: The directions ``direction=`` takes.
DIRECTIONS = ("auto", "ltr", "rtl", "ttb")


#: The direction when nothing tells another.
LTR = Decided("ltr", "the default")

# ISO 15924 scripts written right to left.
_RTL_SCRIPTS = frozenset({"arab", "hebr", "syrc", "thaa", "nkoo", "samr", "mand", "adlm", "rohg", "yezi", "mend",
                          "phnx", "armi", "avst", "sogd", "syre", "syrj", "syrn"})
# Languages written right to left: ISO 639 codes (two and three letters) and
# the English names PAGE's primaryLanguage takes.
_RTL_LANGUAGES = frozenset({"ar", "ara", "he", "heb", "iw", "fa", "fas", "per", "ur", "urd", "yi", "yid", "ps", "pus",
                            "syr", "syc", "dv", "div", "ug", "uig", "ckb", "sd", "snd", "arc", "jrb",
                            "arabic", "hebrew", "persian", "urdu", "yiddish", "pashto", "pushto", "syriac",
                            "divehi", "dhivehi", "uighur", "uyghur", "sindhi", "aramaic"})
# CJK: set vertically as often as not; the line shapes decide.
_CJK_SCRIPTS = frozenset({"hani", "hans", "hant", "jpan", "kore", "hira", "kana", "hang"})
_CJK_LANGUAGES = frozenset({"ja", "jpn", "zh", "zho", "chi", "ko", "kor", "japanese", "chinese", "korean"})
#: How much text is looked at for its letters' direction.
TEXT_SAMPLE = 2000


def from_words(value: str, source: str) -> Decided | None:
    """A direction a file states in words: ``rtl``/``ltr`` (HTML ``dir``), or
    PAGE's ``right-to-left``, ``left-to-right``, ``top-to-bottom``."""
    word = value.strip().lower()
    if word in ("rtl", "right-to-left"):
        return Decided("rtl", source)
    if word in ("ltr", "left-to-right"):
        return Decided("ltr", source)
    if word in ("ttb", "top-to-bottom"):
        return Decided("ttb", source)
    return None


def from_script(value: str) -> str | None:
    """"rtl" for a right-to-left script ("Arab - Arabic", "Syrc"), "cjk" for a
    CJK one, else None."""
    code = value.strip().split()[0].lower()[:4] if value.strip() else ""
    if code in _RTL_SCRIPTS:
        return "rtl"
    if code in _CJK_SCRIPTS:
        return "cjk"
    return None


def from_language(value: str) -> str | None:
    """"rtl" for a language written right to left ("ar", "heb", "fa-IR"), "cjk"
    for Chinese, Japanese or Korean, else None."""
    code = value.strip().lower().replace("_", "-").split("-")[0]
    if code in _RTL_LANGUAGES:
        return "rtl"
    if code in _CJK_LANGUAGES:
        return "cjk"
    return None


# Letters by script, counted with regular expressions (C speed): right-to-left
# scripts (Hebrew to NKo, Samaritan, Mandaic, Arabic presentation forms, the
# historic RTL blocks, Adlam) and CJK (Hangul Jamo, kana, ideographs, Hangul
# syllables, compatibility ideographs, the supplementary ideograph planes).
_RTL_LETTERS = re.compile("[\u0590-\u08ff\ufb1d-\ufdff\ufe70-\ufeff\U00010800-\U00010fff\U0001e800-\U0001efff]")
_CJK_LETTERS = re.compile("[\u1100-\u11ff\u3040-\u30ff\u3130-\u318f\u3400-\u4dbf\u4e00-\u9fff\uac00-\ud7af"
                          "\uf900-\ufaff\U00020000-\U0003ffff]")
_LETTERS = re.compile(r"[^\W\d_]")


def from_text(text: str) -> str | None:
    """What the letters of a text show: "rtl" when most of its letters are of
    right-to-left scripts, "cjk" when most are CJK ideographs, kana or Hangul,
    "ltr" when most are other letters, None without letters.  Reads at most
    :data:`TEXT_SAMPLE` characters."""
    text = text[:TEXT_SAMPLE]
    counts = {"rtl": len(_RTL_LETTERS.findall(text)), "cjk": len(_CJK_LETTERS.findall(text)),
              "ltr": len(_LETTERS.findall(_CJK_LETTERS.sub("", _RTL_LETTERS.sub("", text))))}
    if not any(counts.values()):
        return None
    return max(counts, key=counts.__getitem__)


def most_common(values: Iterable[str | None]) -> str | None:
    """The value given most often (the first of equals), None without any."""
    counts = Counter(v for v in values if v)
    return counts.most_common(1)[0][0] if counts else None


def from_lines(lines: Iterable[Box]) -> str | None:
    """"ttb" when the text lines stand upright (most of at least three are
    more than twice as tall as wide), "ltr" when they lie, None without lines."""
    upright = lying = 0
    for x1, y1, x2, y2 in lines:
        width, height = abs(x2 - x1), abs(y2 - y1)
        if height > 2 * width:
            upright += 1
        elif width > height:
            lying += 1
    if upright + lying < 3:
        return None
    return "ttb" if upright > 2 * lying else "ltr"


def decide(stated: Iterable[Decided | None] = (), scripts: Iterable[tuple[str | None, str]] = (),
           text: str = "", lines: Callable[[], Iterable[Box]] = tuple) -> Decided:
    """The direction of a page from its cues, the strongest first.

    ``stated``: directions the file states (the first one counts);
    ``scripts``: (what a script or language attribute says, that attribute's
    name) pairs; ``text``: a sample of the page's text; ``lines``: gives the
    boxes of its text lines, called only for CJK text.  A right-to-left script or language gives ``rtl``; a CJK one, or
    CJK text, gives ``ttb`` when the lines stand upright; else the letters
    of the text decide; else ``ltr``.
    """
    for decided in stated:
        if decided is not None:
            return decided
    cjk_reason = ""
    for kind, reason in scripts:
        if kind == "rtl":
            return Decided("rtl", reason)
        if kind == "cjk" and not cjk_reason:
            cjk_reason = reason
    shown = from_text(text)
    if shown == "rtl" and not cjk_reason:
        return Decided("rtl", "the letters of the text")
    if cjk_reason or shown == "cjk":
        if from_lines(lines()) == "ttb":
            return Decided("ttb", f"{cjk_reason or 'the CJK letters of the text'} and upright text lines")
        return Decided("ltr", f"{cjk_reason or 'the CJK letters of the text'} and lying text lines")
    if shown == "ltr":
        return Decided("ltr", "the letters of the text")
    return LTR
