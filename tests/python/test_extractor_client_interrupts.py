"""Ctrl-C during a PDF extraction read by Tesseract, in a child process sent a real SIGINT:
KeyboardInterrupt within a second (the pages being read stop too), no thread left behind."""

import time

from support.interrupts import DATA, child_env, interrupt


def test_ctrl_c_during_pdf_extraction(tmp_path):
    begun = []

    def ocr_running():
        # The child has printed "started"; Tesseract is then in the middle of pages.
        begun.append(time.monotonic())
        return begun[-1] - begun[0] > 0.7

    took, report = interrupt(["pdf", str(tmp_path / "unused.log"), str(DATA / "many_pages.pdf")], child_env(),
                             ocr_running)
    assert report["outcome"] == "interrupted"
    assert took < 1.0, f"{took:.2f} s from Ctrl-C to KeyboardInterrupt"
    assert report["after"] == report["before"], "threads left running"
