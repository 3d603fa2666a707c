"""The reference side of tests/support/parser_modes.py, run as a script:

    python parser_mode_child.py LIBDIR PARSER_SHA256 < pickled texts > pickled answer

Copies LIBDIR's html package and _markupbase.py into a temporary directory
put first on sys.path before anything imports them, checks that they are the
ones imported, then answers ({file: (path imported, sha256)}, [outcome of the
slow path for each text]) with tests.support.treecanon.outcome.
"""

import hashlib
import pathlib
import pickle
import shutil
import sys
import tempfile

FILES = ("html/__init__.py", "html/entities.py", "html/parser.py", "_markupbase.py")


def main():
    lib, parser_digest = pathlib.Path(sys.argv[1]), sys.argv[2]
    stale = [name for name in sys.modules if name == "html" or name.startswith("html.") or name == "_markupbase"]
    if stale:
        sys.exit(f"already imported at startup: {stale}")
    shadow = pathlib.Path(tempfile.mkdtemp(prefix="ostrel-stdlib-"))
    try:
        for name in FILES:
            (shadow / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(lib / name, shadow / name)
        sys.path.insert(0, str(shadow))
        import _markupbase
        import html
        import html.entities
        import html.parser

        loaded = {}
        for name, module in zip(FILES, (html, html.entities, html.parser, _markupbase)):
            path = pathlib.Path(module.__file__).resolve()
            if path != (shadow / name).resolve():
                sys.exit(f"{module.__name__} imported from {path}, not from {shadow / name}")
            loaded[name] = (str(path), hashlib.sha256(path.read_bytes()).hexdigest())
        if loaded["html/parser.py"][1] != parser_digest:
            sys.exit(f"html/parser.py is {loaded['html/parser.py'][1]}, expected {parser_digest}")
        sys.path.insert(1, str(pathlib.Path(__file__).resolve().parents[2]))
        from tests.support.treecanon import outcome, slow_path

        texts = pickle.load(sys.stdin.buffer)
        outcomes = [outcome(slow_path, text) for text in texts]
        pickle.dump((loaded, outcomes), sys.stdout.buffer)
    finally:
        shutil.rmtree(shadow, ignore_errors=True)


if __name__ == "__main__":
    main()
