"""Students' answer booklets: printed ruled pages with a header box, answers
written on the rules in a handwriting-style font with human irregularity."""
import math

from typeset import A4, PangoCairo, Typesetter, cairo, draw, hline, new_pdf, rng_for

WIDTH, HEIGHT = A4
PITCH = 25.0                      # distance of the ruled lines
MARGIN_LINE = 70.0                # the red margin; labels are written left of it
LABEL_X = 16.0
TEXT_X, TEXT_RIGHT = 78.0, WIDTH - 30.0
FIRST_RULE = {1: 262.0}           # page 1 carries the header box
OTHER_RULE = 78.0
LAST_RULE = HEIGHT - 42.0
PRINTED = "DejaVu Sans"


class Hand:
    """Writes words the way a student does: lines drift, words vary a little
    in size and height, the whole hand may lean."""

    def __init__(self, ts, style, rng):
        self.ts = ts
        self.rng = rng
        self.family = style.get("font", "DkgHandwriting")
        self.size = float(style.get("size", 15))
        self.ink = tuple(style.get("ink", (0.08, 0.12, 0.45)))
        self.slant = math.tan(math.radians(float(style.get("slant", 0))))
        self.drift = float(style.get("drift", 0.5))          # degrees a line may tilt
        self.space = ts.width(" ", self.family, self.size) * float(style.get("spacing", 1.2))

    def width(self, text):
        # a little generous, so a jittered line still ends inside the page
        return self.ts.width(text, self.family, self.size) * 1.05

    def wrap(self, text, first_width, width):
        lines, words, used, limit = [], [], 0.0, first_width
        for word in text.split():
            w = self.width(word)
            grow = w + (self.space * 1.3 if words else 0.0)
            if words and used + grow > limit:
                lines.append(words)
                words, used, limit = [word], w, width
            else:
                words.append(word)
                used += grow
        if words or not lines:
            lines.append(words)
        return lines

    def write(self, cr, words, x, baseline):
        rng = self.rng
        cr.save()
        cr.translate(x + rng.uniform(-1.0, 2.5), baseline + rng.uniform(-1.0, 0.8))
        cr.rotate(math.radians(rng.uniform(-self.drift, self.drift)))
        if self.slant:
            cr.transform(_shear(self.slant))
        pen = 0.0
        cr.set_source_rgb(*self.ink)
        for word in words:
            size = self.size * rng.uniform(0.95, 1.05)
            line, w = self.ts.single(word, self.family, size)
            cr.move_to(pen, rng.uniform(-0.8, 0.8))
            PangoCairo.show_layout_line(cr, line)
            pen += w + self.space * rng.uniform(0.85, 1.35)
        cr.restore()


def _shear(k):
    return cairo.Matrix(1.0, 0.0, -k, 1.0, 0.0, 0.0)


def rules():
    """Baselines the student can write on, page by page, forever."""
    page = 1
    while True:
        y = FIRST_RULE.get(page, OTHER_RULE) + PITCH
        while y <= LAST_RULE + 0.01:
            yield page, y
            y += PITCH
        page += 1


def place(doc, hand):
    """Assign every written line to a ruled line. Returns the placed lines
    [(page, baseline, label, words, x of words, answer index)] and the pages of each answer."""
    slots = rules()
    placed, pages_of = [], {}
    for index, answer in enumerate(doc["answers"]):
        slot = next(slots)
        if answer.get("new_page"):
            current = slot[0] if not placed else placed[-1][0]
            while slot[0] <= current:
                slot = next(slots)
        for _ in range(int(answer.get("skip_lines", 0))):
            slot = next(slots)
        label = answer.get("label")
        label_w = hand.width(label) if label else 0.0
        # a label too wide for the margin spills over and pushes the answer right
        first_x = LABEL_X + label_w + hand.space * 1.5 if LABEL_X + label_w + 3 > MARGIN_LINE else TEXT_X
        first = True
        for para in answer["text"]:
            x0 = first_x if first else TEXT_X
            for k, words in enumerate(hand.wrap(para, TEXT_RIGHT - x0, TEXT_RIGHT - TEXT_X)):
                if not first or k:
                    slot = next(slots)
                placed.append((slot[0], slot[1], label if first else None, words, x0 if k == 0 else TEXT_X, index))
                pages_of.setdefault(index, set()).add(slot[0])
                first = False
        spacer = next(slots)          # one line left free between answers
        if answer.get("rule_after") and spacer[0] == slot[0]:
            placed.append((spacer[0], spacer[1], None, None, None, -1))
    return placed, pages_of


def print_page(cr, ts, doc, page):
    """The booklet's printed parts; returns the printed lines of the page."""
    top = FIRST_RULE.get(page, OTHER_RULE)
    y = top
    while y <= LAST_RULE + 0.01:
        hline(cr, 12, WIDTH - 12, y, 0.5, (0.60, 0.74, 0.90))
        y += PITCH
    cr.set_source_rgb(0.85, 0.30, 0.30)
    cr.set_line_width(0.9)
    cr.move_to(MARGIN_LINE, top - PITCH)
    cr.line_to(MARGIN_LINE, HEIGHT - 18)
    cr.stroke()
    label = f"{doc['booklet'].get('page_label', 'Page No.')} {page}"
    line, w = ts.single(label, PRINTED, 9.5)
    draw(cr, line, WIDTH - 28 - w, 36)
    return [label]


def print_header(cr, ts, doc, hand):
    booklet = doc["booklet"]
    texts = []
    line, w = ts.single(booklet["title"], PRINTED, 15, bold=True)
    draw(cr, line, (WIDTH - w) / 2, 68)
    texts.append(booklet["title"])
    line, w = ts.single(booklet["school"], PRINTED, 10.5)
    draw(cr, line, (WIDTH - w) / 2, 86)
    texts.append(booklet["school"])
    cr.set_source_rgb(0, 0, 0)
    cr.set_line_width(0.9)
    cr.rectangle(26, 98, WIDTH - 52, 112)
    cr.stroke()
    y = 126
    for row in booklet["fields"]:
        pieces = []
        for field in row:
            x, end = field["x"], field["end"]
            line, w = ts.single(field["label"], PRINTED, 10.5)
            draw(cr, line, x, y)
            hline(cr, x + w + 4, end, y + 2.5, 0.4, (0.35, 0.35, 0.35))
            pieces.append(field["label"])
            value = doc["student"].get(field.get("key", ""))
            if value:
                hand.write(cr, value.split(), x + w + 9, y - 1)
                pieces.append(value)
        texts.append(" ".join(pieces))
        y += 32
    note = booklet.get("note")
    if note:
        line, w = ts.single(note, PRINTED, 9, italic=True)
        draw(cr, line, (WIDTH - w) / 2, 228)
        texts.append(note)
    return texts


def render(doc, pdf_path):
    surface, cr = new_pdf(pdf_path, doc.get("title", doc["doc_id"]))
    ts = Typesetter(cr)
    rng = rng_for(doc["doc_id"], "hand")
    hand = Hand(ts, doc.get("hand", {}), rng)
    placed, pages_of = place(doc, hand)
    page_count = max(p for p, *_ in placed)
    page_texts = {}
    for page in range(1, page_count + 1):
        texts = print_page(cr, ts, doc, page)
        if page == 1:
            texts += print_header(cr, ts, doc, hand)
        for p, baseline, label, words, x, index in placed:
            if p != page:
                continue
            if words is None:          # a line drawn across to close an answer
                cr.set_source_rgb(*hand.ink)
                cr.set_line_width(0.8)
                start = TEXT_X + rng.uniform(60, 120)
                cr.move_to(start, baseline - 10)
                cr.curve_to(start + 100, baseline - 10 + rng.uniform(-2, 2), start + 200,
                            baseline - 10 + rng.uniform(-2, 2), start + rng.uniform(260, 320), baseline - 10)
                cr.stroke()
                continue
            if label:
                hand.write(cr, label.split(), LABEL_X, baseline - 5)
            if words:
                hand.write(cr, words, x, baseline - 5)
            text = " ".join(([label] if label else []) + words)
            if text:
                texts.append(text)
        page_texts[str(page)] = "\n".join(texts)
        cr.show_page()
    surface.finish()
    answers = []
    for index, a in enumerate(doc["answers"]):
        answers.append({
            "q_id": a["q_id"],
            "answer_text": "\n".join(a["text"]),
            "page_numbers": sorted(pages_of[index]),
            "margin_label": a.get("label"),
            "written_order": index + 1,
            "expected_marks": a["expected_marks"],
            "note": a.get("note"),
        })
    return page_texts, answers
