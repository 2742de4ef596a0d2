"""Character error rate of OCR output against ground truth.

Both texts have their whitespace collapsed to single spaces first (the sample
ground truth joins the items of one line by single spaces, and line breaks
are not what OCR is judged on). The edit distance uses the bit-parallel
algorithm of Myers (1999) on Python integers: one pass over the longer text,
fast enough for whole pages in pure Python.
"""


def collapse_whitespace(text):
    return " ".join(text.split())


def levenshtein(a, b):
    """Edit distance (insertions, deletions, substitutions of one code point)."""
    if len(a) < len(b):
        a, b = b, a
    m = len(b)
    if m == 0:
        return len(a)
    masks = {}
    for i, ch in enumerate(b):
        masks[ch] = masks.get(ch, 0) | (1 << i)
    full = (1 << m) - 1
    top = 1 << (m - 1)
    pv, mv, score = full, 0, m
    for ch in a:
        eq = masks.get(ch, 0)
        xv = eq | mv
        xh = (((eq & pv) + pv) ^ pv) | eq
        ph = mv | (~(xh | pv) & full)
        mh = pv & xh
        if ph & top:
            score += 1
        elif mh & top:
            score -= 1
        ph = ((ph << 1) | 1) & full
        mh = (mh << 1) & full
        pv = mh | (~(xv | ph) & full)
        mv = ph & xv
    return score


def cer(hypothesis, reference):
    """Edit distance over reference length, after collapsing whitespace."""
    hyp = collapse_whitespace(hypothesis)
    ref = collapse_whitespace(reference)
    if not ref:
        return 0.0 if not hyp else 1.0
    return levenshtein(hyp, ref) / len(ref)


def document_cer(pages, truth_pages):
    """CER of a whole document: page texts joined in page order on both sides.

    `pages` maps page numbers (int) to text; `truth_pages` is the truth file's
    "pages" object (string keys).
    """
    numbers = sorted(pages)
    hyp = "\n".join(pages[n] for n in numbers)
    ref = "\n".join(truth_pages[str(n)] for n in numbers)
    return cer(hyp, ref)
