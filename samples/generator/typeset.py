"""Pango/Cairo helpers shared by the paper and booklet renderers.

Every piece of text is laid out with Pango (so font fallback, shaping and
ligatures behave as in real documents) and drawn line by line, because the
renderers need each line's text for the ground truth.
"""
import hashlib
import random

import gi

gi.require_version("Pango", "1.0")
gi.require_version("PangoCairo", "1.0")
from gi.repository import Pango, PangoCairo  # noqa: E402
import cairo  # noqa: E402

A4 = (595.276, 841.890)          # PostScript points
FIXED_DATE = "2024-10-14T08:30:00"
BLACK = (0.0, 0.0, 0.0)


def rng_for(*parts):
    """A random source that depends only on its labels, never on run order."""
    digest = hashlib.sha256("\x1f".join(map(str, parts)).encode("utf-8")).digest()
    return random.Random(int.from_bytes(digest[:8], "big"))


def new_pdf(path, title):
    surface = cairo.PDFSurface(path, *A4)
    surface.set_metadata(cairo.PDFMetadata.TITLE, title)
    surface.set_metadata(cairo.PDFMetadata.CREATOR, "tovrane sample generator")
    surface.set_metadata(cairo.PDFMetadata.CREATE_DATE, FIXED_DATE)
    surface.set_metadata(cairo.PDFMetadata.MOD_DATE, FIXED_DATE)
    return surface, cairo.Context(surface)


class Typesetter:
    """Lays out text for one Cairo context; hinting off so metrics do not
    depend on the output resolution."""

    def __init__(self, cr):
        self.context = PangoCairo.create_context(cr)
        options = cairo.FontOptions()
        options.set_hint_style(cairo.HINT_STYLE_NONE)
        options.set_hint_metrics(cairo.HINT_METRICS_OFF)
        PangoCairo.context_set_font_options(self.context, options)

    def layout(self, text, family, size, bold=False, italic=False, width=None):
        layout = Pango.Layout.new(self.context)
        desc = Pango.FontDescription.from_string(family)
        desc.set_size(round(size * Pango.SCALE))
        if bold:
            desc.set_weight(Pango.Weight.BOLD)
        if italic:
            desc.set_style(Pango.Style.ITALIC)
        layout.set_font_description(desc)
        layout.set_text(text, -1)
        if width is not None:
            layout.set_width(round(width * Pango.SCALE))
            layout.set_wrap(Pango.WrapMode.WORD)
        return layout

    def wrap(self, text, family, size, width, **style):
        """[(line text, Pango line)] of `text` broken to fit `width` points."""
        layout = self.layout(text, family, size, width=width, **style)
        raw = text.encode("utf-8")
        lines = []
        for i in range(layout.get_line_count()):
            line = layout.get_line_readonly(i)
            piece = raw[line.start_index:line.start_index + line.length].decode("utf-8")
            lines.append((piece.strip(), line))
        return lines

    def single(self, text, family, size, **style):
        """(Pango line, advance width) of a text that is drawn on one line."""
        layout = self.layout(text, family, size, **style)
        return layout.get_line_readonly(0), layout.get_extents()[1].width / Pango.SCALE

    def width(self, text, family, size, **style):
        return self.single(text, family, size, **style)[1]


def draw(cr, line, x, baseline, rgb=BLACK):
    cr.set_source_rgb(*rgb)
    cr.move_to(x, baseline)
    PangoCairo.show_layout_line(cr, line)


def hline(cr, x0, x1, y, width=0.6, rgb=BLACK):
    cr.set_source_rgb(*rgb)
    cr.set_line_width(width)
    cr.move_to(x0, y)
    cr.line_to(x1, y)
    cr.stroke()
