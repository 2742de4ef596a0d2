#!/usr/bin/env python3
"""Writes the small PDFs the extractor tests use, into this folder.

  no_pages.pdf      a well-formed document whose page tree is empty
  many_pages.pdf    200 pages, each with one line of real text (text layer)
  huge_page.pdf     one 200 x 200 inch page (the largest PDF allows) with a
                    short line of very large text and no other content
  footer_only.pdf   one page whose only text is "Page 4 of 4"
  invisible_text.pdf  one page with a sentence in its text layer drawn
                    invisibly (text render mode 3) and nothing visible: the
                    text layer and the picture of the page disagree
  not_a_pdf.pdf     plain text with a .pdf name
  bad_body.pdf      a PDF header followed by bytes that are not PDF
  mixed.pdf         page 1 of the born-digital sample paper (text layer),
                    page 2 of the average sheet's 150 dpi scan (image only),
                    the Hindi paper's born-digital page (text layer full of
                    U+FFFD) and footer_only.pdf
  hindi_class6_paper.*  a bilingual Hindi/English paper, made from
                    content/hindi_class6_paper.json by samples/generator/render.py

Needs python3 and poppler-utils (pdfseparate, pdfunite); the Hindi paper also
needs what the sample generator needs (see samples/README.md) and is only
rebuilt with --hindi. Output is reproducible, except the file ID pdfunite gives
mixed.pdf.
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import zlib

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = HERE.parents[1] / "samples"


def stream(data):
    data = zlib.compress(data, 9)
    return b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(data) + data + b"\nendstream"


def write_pdf(path, objects):
    """objects: list of object bodies; object i+1 is objects[i], the catalog is 1."""
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for o in offsets:
        out += b"%010d 00000 n \n" % o
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    pathlib.Path(path).write_bytes(bytes(out))


def text_pages(path, pages, size=(595, 842)):
    """pages: list of lists of (x, y, font size, text) in Helvetica; a text
    starting with "~" is drawn invisibly (render mode 3)."""
    font = 3
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", None,
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"]
    kids = []
    for lines in pages:
        ops = b"".join(b"BT %s/F1 %d Tf %d %d Td (%s) Tj ET\n"
                       % (b"3 Tr " if t.startswith("~") else b"", fs, x, y, t.lstrip("~").encode("latin-1"))
                       for x, y, fs, t in lines)
        objects.append(stream(ops))
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] "
                       b"/Resources << /Font << /F1 %d 0 R >> >> /Contents %d 0 R >>"
                       % (size[0], size[1], font, len(objects)))
        kids.append(len(objects))
    objects[1] = (b"<< /Type /Pages /Kids [" + b" ".join(b"%d 0 R" % k for k in kids)
                  + b"] /Count %d >>" % len(kids))
    write_pdf(path, objects)


def main():
    text_pages(HERE / "many_pages.pdf",
               [[(72, 770, 12, f"Page {n}: the quick brown fox jumps over the lazy dog, answer {n}.")]
                for n in range(1, 201)])
    text_pages(HERE / "huge_page.pdf", [[(800, 7000, 1200, "BIG TEXT")]], size=(14400, 14400))
    text_pages(HERE / "footer_only.pdf", [[(260, 40, 12, "Page 4 of 4")]])
    text_pages(HERE / "invisible_text.pdf",
               [[(72, 700, 12, "~This sentence is only in the text layer of the page, not in its picture.")]])
    write_pdf(HERE / "no_pages.pdf", [b"<< /Type /Catalog /Pages 2 0 R >>",
                                      b"<< /Type /Pages /Kids [] /Count 0 >>"])
    (HERE / "not_a_pdf.pdf").write_bytes(b"This is a plain text file, not a PDF.\n" * 4)
    (HERE / "bad_body.pdf").write_bytes(b"%PDF-1.7\n" + bytes(range(256)) * 8)

    if "--hindi" in sys.argv:
        subprocess.run(["/usr/bin/python3", str(SAMPLES / "generator" / "render.py"),
                        str(HERE / "content" / "hindi_class6_paper.json"), str(HERE),
                        "--only", "digital,scan150,truth"], check=True)

    sample = SAMPLES / "social_class7"
    with tempfile.TemporaryDirectory() as tmp:
        parts = [(sample / "social_class7_paper.digital.pdf", 1),
                 (sample / "social_class7_sheet_arjun.scan150.pdf", 2),
                 (HERE / "hindi_class6_paper.digital.pdf", 1),
                 (HERE / "footer_only.pdf", 1)]
        singles = []
        for i, (src, page) in enumerate(parts):
            out = os.path.join(tmp, f"part{i}.pdf")
            subprocess.run(["pdfseparate", "-f", str(page), "-l", str(page), str(src), out], check=True)
            singles.append(out)
        subprocess.run(["pdfunite", *singles, str(HERE / "mixed.pdf")], check=True)


if __name__ == "__main__":
    main()
