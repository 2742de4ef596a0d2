#!/usr/bin/python3
"""Renders one content file into its sample documents.

  <doc_id>.digital.pdf  born-digital: vector text with a real text layer
  <doc_id>.scan150.pdf  image-only scan, 150 dpi, 8-bit gray, lossless
  <doc_id>.scan300.pdf  image-only scan, 300 dpi, gray, degraded, JPEG
  <doc_id>.truth.json   what a perfect reader finds: page texts, and the
                        questions (papers) or the answers (booklets)

Usage: render.py CONTENT.json OUTDIR [--only digital,scan150,scan300,truth]
A booklet's content names its paper; the paper's content file must lie in
the same folder (unanswered and out-of-order answers are worked out from it).
"""
import argparse
import json
import os
import pathlib
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import booklet  # noqa: E402
import paper  # noqa: E402
import scans  # noqa: E402

RENDERINGS = ("digital", "scan150", "scan300")


def paper_order(content_path, paper_id):
    source = json.loads((pathlib.Path(content_path).parent / f"{paper_id}.json").read_text(encoding="utf-8"))
    order = []
    for block in source["blocks"]:
        if block["type"] == "question":
            order += [p["id"] for p in block.get("parts", [])] or [block["id"]]
    return order


def sheet_facts(doc, answers, order):
    rank = {q: i for i, q in enumerate(order)}
    unknown = [a["q_id"] for a in answers if a["q_id"] not in rank]
    if unknown:
        raise ValueError(f"{doc['doc_id']}: answers to questions the paper lacks: {unknown}")
    answered = {a["q_id"] for a in answers}
    late, highest = [], -1
    for a in answers:
        if rank[a["q_id"]] < highest:
            late.append(a["q_id"])
        highest = max(highest, rank[a["q_id"]])
    return {
        "unanswered": [q for q in order if q not in answered],
        "out_of_order": late,
        "spanning_pages": [a["q_id"] for a in answers if len(a["page_numbers"]) > 1],
    }


def make_truth(doc, pages, items, tilts, present, content_path):
    doc_id = doc["doc_id"]
    truth = {key: doc[key] for key in ("doc_id", "kind", "subject", "class_level", "language")}
    truth["ocr_languages"] = doc.get("ocr_languages", "eng")
    truth["page_count"] = len(pages)
    truth["files"] = {r: f"{doc_id}.{r}.pdf" for r in RENDERINGS if r in present}
    if tilts:
        truth["scan300_tilt_degrees"] = tilts
    truth["pages"] = pages
    if doc["kind"] == "question_paper":
        truth["total_marks"] = sum(q["max_marks"] for q in items)
        if doc.get("maximum_marks") is not None and truth["total_marks"] != doc["maximum_marks"]:
            raise ValueError(f"{doc_id}: questions add up to {truth['total_marks']}, "
                             f"the paper says {doc['maximum_marks']}")
        truth["questions"] = items
    else:
        truth["paper"] = doc["paper"]
        truth["student"] = doc["student"]
        truth["quality"] = doc["quality"]
        truth["handwriting_font"] = doc["hand"]["font"]
        truth["answers"] = items
        truth["expected_total"] = sum(a["expected_marks"] for a in items)
        truth.update(sheet_facts(doc, items, paper_order(content_path, doc["paper"])))
    return truth


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("content")
    ap.add_argument("outdir")
    ap.add_argument("--only", default="digital,scan150,truth",
                    help="comma-separated renderings and/or truth (default: digital,scan150,truth)")
    args = ap.parse_args()
    wanted = set(args.only.split(","))
    doc = json.loads(pathlib.Path(args.content).read_text(encoding="utf-8"))
    out = pathlib.Path(args.outdir)
    out.mkdir(parents=True, exist_ok=True)
    doc_id = doc["doc_id"]
    if doc["kind"] == "answersheet":
        # the printed booklet is shared by the class: its own file beside the content
        template = pathlib.Path(args.content).parent / f"{doc['booklet']}.json"
        doc["booklet"] = json.loads(template.read_text(encoding="utf-8"))
    # everything is made in a staging folder beside the outputs and moved in at
    # the end, so a failed run leaves the previous files as they were
    with tempfile.TemporaryDirectory(prefix=".render-", dir=out) as tmp:
        stage = pathlib.Path(tmp)
        digital = stage / f"{doc_id}.digital.pdf"
        renderer = paper if doc["kind"] == "question_paper" else booklet
        pages, items = renderer.render(doc, str(digital))
        tilts = scans.make(str(digital), doc_id,
                           stage / f"{doc_id}.scan150.pdf" if "scan150" in wanted else None,
                           stage / f"{doc_id}.scan300.pdf" if "scan300" in wanted else None,
                           doc.get("scanner"))
        if "digital" not in wanted:
            digital.unlink()
        if "truth" in wanted:
            present = {r for r in RENDERINGS if (stage / f"{doc_id}.{r}.pdf").exists()
                       or (out / f"{doc_id}.{r}.pdf").exists()}
            truth = make_truth(doc, pages, items, tilts, present, args.content)
            (stage / f"{doc_id}.truth.json").write_text(json.dumps(truth, ensure_ascii=False, indent=2) + "\n",
                                                        encoding="utf-8")
        for made in sorted(stage.iterdir()):
            os.replace(made, out / made.name)
    print(f"{doc_id}: {len(pages)} page(s)")


if __name__ == "__main__":
    main()
