#!/usr/bin/env python3
"""Writes docs/api/<module>.md, one page per compiled module, from the stubs (signatures
and types) and the docstrings of the built modules, so the reference shows what the
package does. With --check it writes nothing and fails when a page differs from what it
would write (the test suite runs it that way).

    PYTHONPATH=build/python python3 scripts/api_docs.py [--check]
"""

from __future__ import annotations

import argparse
import ast
import difflib
import importlib
import inspect
import sys
from pathlib import Path
from typing import Any, Optional, Union

MODULES = [
    "tovrane_core.tovrane",
    "tovrane_core.model_broker",
    "tovrane_core.paper_pipeline",
    "tovrane_core.sheet_pipeline",
    "tovrane_core.datastructures.question_paper",
    "tovrane_core.datastructures.rubric",
    "tovrane_core.datastructures.answersheet",
    "tovrane_core.ocr_extractor.extractor_client",
]
DOCS = Path(__file__).resolve().parent.parent / "docs" / "api"
Function = Union[ast.FunctionDef, ast.AsyncFunctionDef]


def stub_of(module: Any) -> tuple[ast.Module, list[str]]:
    path = Path(module.__file__).parent / (module.__name__.rpartition(".")[2] + ".pyi")
    source = path.read_text(encoding="utf-8")
    return ast.parse(source), source.splitlines()


def aliases(tree: ast.Module) -> dict[str, str]:
    """Private type aliases (`_Path = ...`), written out where they are used."""
    found = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            name = node.targets[0].id
            if name.startswith("_"):
                found[name] = ast.unparse(node.value)
    return found


def text(node: Optional[ast.AST], names: dict[str, str]) -> str:
    if node is None:
        return ""
    out = ast.unparse(node)
    for name, value in names.items():
        out = out.replace(name, value)
    return out


def signature(fn: Function, names: dict[str, str], method: bool) -> str:
    args = fn.args
    params = []
    positional = args.posonlyargs + args.args
    if method and positional and positional[0].arg == "self":
        positional = positional[1:]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for arg, default in zip(positional, defaults):
        params.append(param(arg, default, names))
    if args.vararg:
        params.append("*" + args.vararg.arg)
    elif args.kwonlyargs:
        params.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append(param(arg, default, names))
    if args.kwarg:
        params.append("**" + args.kwarg.arg)
    prefix = "async " if isinstance(fn, ast.AsyncFunctionDef) else ""
    return f"{prefix}{fn.name}({', '.join(params)}) -> {text(fn.returns, names)}"


def param(arg: ast.arg, default: Optional[ast.expr], names: dict[str, str]) -> str:
    out = arg.arg
    if arg.annotation is not None:
        out += ": " + text(arg.annotation, names)
    if default is not None:
        out += " = " + ast.unparse(default)
    return out


def doc(obj: Any) -> str:
    return inspect.getdoc(obj) or ""


def is_property(fn: Function) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)


def comment(source: list[str], node: ast.AST) -> str:
    """The comment at the end of a stub line (`name: type  # what it holds`)."""
    _, hash_mark, note = source[node.lineno - 1].partition("  # ")
    return note.strip() if hash_mark else ""


def render_class(cls_node: ast.ClassDef, runtime: Any, names: dict[str, str], source: list[str]) -> list[str]:
    bases = ", ".join(ast.unparse(b) for b in cls_node.bases)
    lines = [f"## class `{cls_node.name}`" + (f" ({bases})" if bases else ""), ""]
    if doc(runtime):
        lines += [doc(runtime), ""]
    attributes = []
    methods: list[Function] = []
    for node in cls_node.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            attributes.append((node.target.id, text(node.annotation, names), comment(source, node)))
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            if is_property(node):
                attributes.append((node.name, text(node.returns, names), doc(getattr(runtime, node.name, None))))
            elif not any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list):
                methods.append(node)
    if attributes:
        lines += ["| attribute | type | |", "|---|---|---|"]
        for name, kind, note in attributes:
            if not note and isinstance(inspect.getattr_static(runtime, name, None), property):
                note = doc(getattr(runtime, name))
            lines.append(f"| `{name}` | `{kind}` | {note.replace(chr(10), ' ')} |")
        lines.append("")
    public = [m for m in methods if not m.name.startswith("_") or m.name == "__init__"]
    private = [m for m in methods if m.name.startswith("_") and m.name != "__init__"]
    for group, heading in ((public, None), (private, "Internal steps (hosts may replace them on an instance)")):
        if heading and group:
            lines += [f"### {heading}", ""]
        for fn in group:
            static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)
            shown = signature(fn, names, method=not static)
            if fn.name == "__init__":
                shown = cls_node.name + shown[len("__init__"):].rsplit(" -> ", 1)[0]
            lines += [f"#### `{shown}`", ""]
            body = doc(getattr(runtime, fn.name))
            if body:
                lines += [body, ""]
    return lines


def render(module_name: str) -> str:
    module = importlib.import_module(module_name)
    tree, source = stub_of(module)
    names = aliases(tree)
    lines = [f"# `{module_name}`", "", doc(module), ""]
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            lines += render_class(node, getattr(module, node.name), names, source)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            lines += [f"## `{signature(node, names, method=False)}`", "", doc(getattr(module, node.name)), ""]
    return "\n".join(lines).rstrip() + "\n"


def page(module_name: str, docs: Path) -> Path:
    return docs / (module_name.removeprefix("tovrane_core.") + ".md")


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="API reference pages from the stubs and docstrings")
    parser.add_argument("--check", action="store_true", help="fail when a page is out of date; write nothing")
    parser.add_argument("--docs", type=Path, default=DOCS, help="the folder of the pages (default docs/api)")
    args = parser.parse_args(argv)
    stale = []
    for name in MODULES:
        wanted = render(name)
        path = page(name, args.docs)
        current = path.read_text(encoding="utf-8") if path.exists() else ""
        if current == wanted:
            continue
        if args.check:
            stale.append(path)
            sys.stdout.writelines(difflib.unified_diff(current.splitlines(True), wanted.splitlines(True),
                                                       str(path), "generated"))
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(wanted, encoding="utf-8")
            print(f"wrote {path}")
    if stale:
        print(f"out of date: {', '.join(str(p) for p in stale)}; run scripts/api_docs.py", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
