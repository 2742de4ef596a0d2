#!/usr/bin/python3
"""Malformed PDFs made from a good one: the inputs a careless upload brings.

  empty.pdf      zero bytes
  truncated.pdf  the first 40% of the source: no cross-reference table, no trailer
  encrypted.pdf  the source encrypted with AES-128; user password "kestrel7",
                 owner password "kestrel-staff" (AES-256 draws random salts, so
                 its output would change from run to run)

Usage: hostile.py SOURCE.pdf OUTDIR
"""
import os
import pathlib
import subprocess
import sys


def main():
    source, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    data = source.read_bytes()
    staged = {"empty.pdf": b"", "truncated.pdf": data[:len(data) * 2 // 5]}
    for name, content in staged.items():
        (out / f".{name}.tmp").write_bytes(content)
    # the static ID and IV keep the output identical from run to run
    subprocess.run(["qpdf", "--allow-weak-crypto", "--static-id", "--static-aes-iv",
                    "--encrypt", "kestrel7", "kestrel-staff", "128", "--use-aes=y", "--",
                    str(source), str(out / ".encrypted.pdf.tmp")], check=True)
    for name in (*staged, "encrypted.pdf"):
        os.replace(out / f".{name}.tmp", out / name)


if __name__ == "__main__":
    main()
