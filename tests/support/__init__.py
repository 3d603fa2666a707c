"""What the tests, the benchmarks (bench/) and the fuzzers (fuzz/) share:

- `corpus`: where the page corpus and the bundled examples are, and the
  pages with the rules to extract them with;
- `treecanon`: the canonical form of a page's tree and the reference way of
  building it; `tree_quirks`: markup that exercises the corners of building it;
- `hostile_pages`: generated nasty pages (also a script);
- `models`: plain-Python models of what the native components compute;
- `fakes`: stand-in documents and elements for the parsers;
- `documents`: the page document of `extract` against requests_html's
  constructor.

Imported as `tests.support`: pytest puts the repository root on the path
(`pythonpath` in pyproject.toml), and the bench and fuzz scripts run as
modules from the repository root (`python -m bench.bench_corpus`).
"""
