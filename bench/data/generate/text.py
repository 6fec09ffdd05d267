"""Synthetic filler text: pseudo-words built from syllables (no real text is
used or stored; only the geometry it produces is kept)."""
import html

ONSETS = ["", "b", "c", "d", "f", "g", "h", "l", "m", "n", "p", "r", "s", "t",
          "v", "w", "br", "cl", "dr", "fr", "gr", "pl", "pr", "st", "tr", "th",
          "sh", "ch", "sp", "qu"]
NUCLEI = ["a", "e", "i", "o", "u", "ea", "io", "ou", "ai", "ie", "y"]
CODAS = ["", "", "", "n", "r", "s", "t", "l", "m", "nd", "st", "rt", "ng", "ct"]


class Text:
    def __init__(self, rng):
        self.rng = rng
        # a small per-document vocabulary with a skewed (Zipf-like) use
        self.vocab = [self._word() for _ in range(600)]
        self.short = ["a", "an", "the", "of", "to", "in", "is", "and", "for",
                      "on", "by", "we", "it", "as", "at", "or", "be", "with"]

    def _word(self):
        n = self.rng.choice([1, 1, 1, 2, 2, 2, 3, 3])
        w = "".join(self.rng.choice(ONSETS) + self.rng.choice(NUCLEI) +
                    self.rng.choice(CODAS) for _ in range(n))
        return w

    def word(self):
        r = self.rng.random()
        if r < 0.35:
            return self.rng.choice(self.short)
        i = int(len(self.vocab) * (self.rng.random() ** 2.2))
        return self.vocab[i]

    def words(self, n, cap=False):
        ws = [self.word() for _ in range(n)]
        if cap and ws:
            ws[0] = ws[0].capitalize()
        return " ".join(ws)

    def title_words(self, n):
        ws = [self.word() for _ in range(n)]
        return " ".join(w.capitalize() if (len(w) > 3 or i == 0) else w
                        for i, w in enumerate(ws))

    def sentence(self, lo=7, hi=24):
        n = self.rng.randint(lo, hi)
        ws = [self.word() for _ in range(n)]
        ws[0] = ws[0].capitalize()
        if n > 10 and self.rng.random() < 0.4:
            k = self.rng.randint(3, n - 4)
            ws[k] += ","
        end = self.rng.choice([".", ".", ".", ".", "?", ";"])
        return " ".join(ws) + ("." if end == ";" else end)

    def paragraph(self, lo=3, hi=8):
        return " ".join(self.sentence() for _ in range(self.rng.randint(lo, hi)))

    def name(self):
        return (self.rng.choice("ABCDEFGHJKLMNPRSTVW") + ". " +
                self._word().capitalize() + self.rng.choice(["", "son", "er", "ova", "i"]))


def esc(s):
    return html.escape(s, quote=True)


def css_str(s):
    """A CSS string literal."""
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'
