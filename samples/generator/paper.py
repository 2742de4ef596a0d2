"""Printed question papers: a content file's blocks become a born-digital PDF,
the text of every page, and the list of questions with their marks."""
import re

from typeset import A4, Typesetter, draw, hline, new_pdf

WIDTH, HEIGHT = A4
LEFT, RIGHT = 56.0, WIDTH - 56.0
MARKS_COLUMN = 66.0            # kept free at the right for "[2 marks]"
PART_INDENT = 26.0
TOP_FIRST, TOP_OTHER, BOTTOM = 54.0, 84.0, HEIGHT - 74.0
GREY = (0.25, 0.25, 0.25)


class Row:
    """One line of the page: its height, how to draw it at a baseline, and
    the text a perfect reader would take from it."""

    def __init__(self, height, paint=None, text=None, question=None, before=0.0, keep=False):
        self.height = height
        self.paint = paint
        self.text = text
        self.question = question      # q_id whose text this line carries
        self.before = before          # extra space above, dropped at a page top
        self.keep = keep              # keep on the page of the next row


def aliases_of(q_id):
    """Other ways a student or a model may write an identifier: Q5(a) -> 5(a), 5a, 5 (a)."""
    bare = q_id[1:] if q_id.startswith("Q") else q_id
    found = [bare]
    if "(" in bare:
        found += [re.sub(r"[()]", "", bare), re.sub(r"\(", " (", bare, count=1)]
    return [a for a in dict.fromkeys(found) if a != q_id]


class PaperBuilder:
    def __init__(self, doc, ts):
        self.doc = doc
        self.ts = ts
        self.family = doc.get("font", "Noto Serif")
        self.size = float(doc.get("size", 11))
        self.pitch = self.size * float(doc.get("leading", 1.5))
        self.text_x = LEFT + float(doc.get("label_width", 34))
        self.rows = []
        self.questions = []

    # -- simple lines ---------------------------------------------------------
    def centred(self, text, size, bold=False, italic=False, before=0.0):
        for piece, line in self.ts.wrap(text, self.family, size, RIGHT - LEFT, bold=bold, italic=italic):
            w = self.ts.width(piece, self.family, size, bold=bold, italic=italic)
            self.rows.append(Row(size * 1.5, lambda cr, y, line=line, w=w: draw(cr, line, (WIDTH - w) / 2, y),
                                 piece, before=before, keep=bold))
            before = 0.0

    def pair(self, left, right, bold=False):
        ll, _ = self.ts.single(left, self.family, self.size, bold=bold)
        rl, rw = self.ts.single(right, self.family, self.size, bold=bold)

        def paint(cr, y):
            draw(cr, ll, LEFT, y)
            draw(cr, rl, RIGHT - rw, y)
        self.rows.append(Row(self.pitch, paint, f"{left} {right}"))

    def rule(self, weight):
        self.rows.append(Row(10.0, lambda cr, y: hline(cr, LEFT, RIGHT, y - 3.5, weight)))

    def labelled(self, label, text, label_x, text_x, right, marks=None, question=None,
                 before=0.0, bold_label=False, size=None, family=None, rgb=(0, 0, 0)):
        """A paragraph with a hanging label; marks sit at the right margin on its last line."""
        family = family or self.family
        size = size or self.size
        lines = self.ts.wrap(text, family, size, right - text_x)
        label_line = self.ts.single(label, self.family, self.size, bold=bold_label)[0] if label else None
        marks_line = self.ts.single(marks, self.family, self.size) if marks else None
        for k, (piece, line) in enumerate(lines):
            first, last = k == 0, k == len(lines) - 1

            def paint(cr, y, line=line, first=first, last=last):
                if first and label_line:
                    draw(cr, label_line, label_x, y)
                draw(cr, line, text_x, y, rgb)
                if last and marks_line:
                    draw(cr, marks_line[0], RIGHT - marks_line[1], y)
            words = [label] if first and label else []
            words.append(piece)
            if last and marks:
                words.append(marks)
            self.rows.append(Row(self.pitch * size / self.size, paint,
                                 " ".join(words), question, before if first else 0.0))

    # -- blocks ---------------------------------------------------------------
    def question(self, b):
        label = b.get("label")
        parts = b.get("parts", [])
        if not parts:
            self.item(b, label, None, LEFT, self.text_x, before=b.get("before", 6.0), bold_label=True)
            return
        stem = b.get("text")
        if stem:
            self.labelled(label, stem, LEFT, self.text_x, RIGHT - MARKS_COLUMN, before=b.get("before", 6.0),
                          bold_label=True)
            self.rows[-1].keep = True
            outer = None
        else:
            outer = label         # "Q9. (a) ..." : the first part shares the number's line
        for k, part in enumerate(parts):
            if outer and k == 0:
                self.item(part, part["label"], stem, self.text_x, self.text_x + PART_INDENT,
                          before=b.get("before", 6.0), outer=outer)
            else:
                self.item(part, part["label"], stem, self.text_x, self.text_x + PART_INDENT, before=2.0)

    def item(self, q, label, stem, label_x, text_x, before, bold_label=False, outer=None):
        start = len(self.rows)
        self.labelled(label, q["text"], label_x, text_x, RIGHT - MARKS_COLUMN,
                      marks=None if q.get("choices") else q.get("marks"),
                      question=q["id"], before=before, bold_label=bold_label)
        if outer:
            first = self.rows[start]
            outer_line = self.ts.single(outer, self.family, self.size, bold=True)[0]
            inner = first.paint

            def paint(cr, y, inner=inner):
                draw(cr, outer_line, LEFT, y)
                inner(cr, y)
            first.paint = paint
            first.text = f"{outer} {first.text}"
        extra = []
        if q.get("translation"):
            family = self.doc.get("translation_font", "Noto Serif")
            self.labelled(None, q["translation"], text_x, text_x, RIGHT - MARKS_COLUMN, question=q["id"],
                          size=self.size * 0.88, family=family, rgb=GREY)
        if q.get("choices"):
            extra += self.choices(q, text_x)
        self.questions.append({
            "q_id": q["id"],
            "question_text": "\n".join([q["text"]] + extra),
            "max_marks": q["max_marks"],
            "marks_printed": q.get("marks"),
            "marks_source": "printed" if q.get("marks") else "section header",
            "stem": stem,
            "translation": q.get("translation"),
            "aliases": aliases_of(q["id"]),
        })
        for row in self.rows[start:-1]:
            row.keep = True

    def choices(self, q, text_x):
        columns = int(q.get("columns", 2))
        width = (RIGHT - MARKS_COLUMN - text_x) / columns
        items = q["choices"]
        texts = []
        for r in range(0, len(items), columns):
            chunk = items[r:r + columns]
            lines = [self.ts.single(c, self.family, self.size)[0] for c in chunk]
            last = r + columns >= len(items)
            marks = self.ts.single(q["marks"], self.family, self.size) if last and q.get("marks") else None

            def paint(cr, y, lines=lines, marks=marks):
                for c, line in enumerate(lines):
                    draw(cr, line, text_x + c * width, y)
                if marks:
                    draw(cr, marks[0], RIGHT - marks[1], y)
            text = " ".join(chunk)
            self.rows.append(Row(self.pitch, paint, text + (" " + q["marks"] if marks else ""), q["id"]))
            texts.append(text)
        return texts

    def build(self):
        for b in self.doc["blocks"]:
            kind = b["type"]
            if kind == "title":
                self.centred(b["text"], float(b.get("size", self.size + 4)), bold=True)
            elif kind == "centre":
                self.centred(b["text"], float(b.get("size", self.size + 1)), italic=b.get("italic", False))
            elif kind == "pair":
                self.pair(b["left"], b["right"], b.get("bold", False))
            elif kind == "rule":
                self.rule(float(b.get("weight", 0.8)))
            elif kind == "gap":
                self.rows.append(Row(float(b.get("points", 6))))
            elif kind == "heading":
                line, _ = self.ts.single(b["text"], self.family, self.size, bold=True)
                self.rows.append(Row(self.pitch, lambda cr, y, line=line: draw(cr, line, LEFT, y), b["text"],
                                     before=4.0, keep=True))
            elif kind == "numbered":
                self.labelled(b["label"], b["text"], LEFT + 8, LEFT + 26, RIGHT)
            elif kind == "section":
                self.centred(b["text"], self.size + 1, bold=True, before=10.0)
                if b.get("note"):
                    self.centred(b["note"], self.size, italic=True)
                    self.rows[-1].keep = True
            elif kind == "question":
                self.question(b)
            elif kind == "break":
                self.rows.append(None)
            else:
                raise ValueError(f"unknown block type {kind!r}")
        return self.rows, self.questions


def paginate(rows):
    """Fill pages top to bottom; a row marked keep never ends a page."""
    pages, y = [[]], TOP_FIRST
    i = 0
    while i < len(rows):
        if rows[i] is None:
            pages.append([])
            y = TOP_OTHER
            i += 1
            continue
        group = [rows[i]]
        while group[-1].keep and i + len(group) < len(rows) and rows[i + len(group)] is not None:
            group.append(rows[i + len(group)])
        need = group[0].before + sum(r.height for r in group)
        if pages[-1] and y + need > BOTTOM:
            pages.append([])
            y = TOP_OTHER
        for r in group:
            if pages[-1]:
                y += r.before
            y += r.height
            pages[-1].append((y - r.height * 0.28, r))
        i += len(group)
    return pages


def render(doc, pdf_path):
    surface, cr = new_pdf(pdf_path, doc.get("title", doc["doc_id"]))
    ts = Typesetter(cr)
    rows, questions = PaperBuilder(doc, ts).build()
    pages = paginate(rows)
    family = doc.get("font", "Noto Serif")
    count = len(pages)
    page_texts = {}
    where = {}
    for number, placed in enumerate(pages, 1):
        texts = []
        header = doc.get("running_header")
        if number > 1 and header:
            line, w = ts.single(header, family, 9, italic=True)
            draw(cr, line, (WIDTH - w) / 2, 44)
            hline(cr, LEFT, RIGHT, 52, 0.4)
            texts.append(header)
        for baseline, row in placed:
            if row.paint:
                row.paint(cr, baseline)
            if row.text:
                texts.append(row.text)
            if row.question:
                where.setdefault(row.question, []).append(number)
        if number < count and doc.get("turn_over"):
            line, w = ts.single(doc["turn_over"], family, 10, bold=True)
            draw(cr, line, RIGHT - w, HEIGHT - 54)
            texts.append(doc["turn_over"])
        if doc.get("footer"):
            footer = doc["footer"].format(page=number, pages=count)
            line, w = ts.single(footer, family, 9)
            draw(cr, line, (WIDTH - w) / 2, HEIGHT - 34)
            texts.append(footer)
        page_texts[str(number)] = "\n".join(texts)
        cr.show_page()
    surface.finish()
    for q in questions:
        q["page_numbers"] = sorted(set(where.get(q["q_id"], [])))
    return page_texts, questions
