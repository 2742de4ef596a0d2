#!/usr/bin/python3
"""Copies the sample class the offline demo runs on into the package, with a
manifest the demo reads (what the paper is, which sheets, which rendering).

Usage: package.py SAMPLES_DIR PACKAGE_DATA_DIR
"""
import json
import os
import pathlib
import shutil
import sys
import tempfile

PAPER = "social_class7_paper"
# Most sheets keep their text layer; two are scans, so the demo also shows OCR.
SHEETS = [("meera", "digital"), ("arjun", "digital"), ("kabir", "scan150"),
          ("sana", "digital"), ("tanvi", "scan150"), ("dev", "digital")]


def main():
    samples, final = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    final.parent.mkdir(parents=True, exist_ok=True)
    # made beside the old copy and swapped in whole
    target = pathlib.Path(tempfile.mkdtemp(prefix=".sample_class-", dir=final.parent))
    (target / "sheets").mkdir()
    folder = samples / "social_class7"
    paper = json.loads((folder / f"{PAPER}.truth.json").read_text(encoding="utf-8"))
    shutil.copyfile(folder / f"{PAPER}.digital.pdf", target / "paper.pdf")
    sheets = []
    for name, rendering in SHEETS:
        truth = json.loads((folder / f"social_class7_sheet_{name}.truth.json").read_text(encoding="utf-8"))
        student = truth["student"]["name"]
        file = f"sheets/{student.lower().replace(' ', '_')}.pdf"
        shutil.copyfile(folder / f"social_class7_sheet_{name}.{rendering}.pdf", target / file)
        sheets.append({"file": file, "student": student, "roll": truth["student"]["roll"],
                       "text_layer": rendering == "digital", "pages": truth["page_count"]})
    manifest = {
        "title": "Periodic Test II, Social Science, Class VII (invented sample class)",
        "subject": paper["subject"],
        "class_level": paper["class_level"],
        "language": paper["language"],
        "paper": "paper.pdf",
        "paper_pages": paper["page_count"],
        "total_marks": paper["total_marks"],
        "sheets": sheets,
    }
    (target / "manifest.json").write_text(json.dumps(manifest, indent=2) + "\n", encoding="utf-8")
    target.chmod(0o755)
    if final.exists():
        old = final.with_name(f".{final.name}.old")
        os.replace(final, old)
        os.replace(target, final)
        shutil.rmtree(old)
    else:
        os.replace(target, final)


if __name__ == "__main__":
    main()
