"""Fuzzes the components on their own against plain-Python models of what
they compute (tests/support/models.py): FieldsParser._extract_rule, FieldsMatcher.match,
FieldsProcessor.process_fields, the extractor's partial-row texts
(_get_value, _add_next_value) and TextUtil.normalize_element.

    python -m fuzz.fuzz_components -max_total_time=60 [libFuzzer options] [corpus dir]

A finding is a crash, an exception of another kind than the model raises,
or a result that differs from the model's; the input is saved by libFuzzer
as crash-<hash> and replays with `python -m fuzz.fuzz_components crash-<hash>`.
"""

import json
import sys

import atheris

from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldsParser
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.utils.trummel import TextUtil
from tests.support import models


class S(str):
    pass


class L(list):
    pass


STEPS = [
    "",
    "html",
    "body",
    "table",
    "tr",
    "td",
    "ul",
    "li",
    "a",
    "p",
    "*",
    "text()",
    "@href",
    "div[@id='x']",
    ".",
    "..",
    "span[last()]",
    "i[1][2]",
    "b[ 3 ]",
    "x[-1]",
    "y[0]",
    "z[+2]",
    "q[1_0]",
    "w[]",
    "v[",
    "u]",
    "[7]",
]
CHARS = 'ab<>[]/:"\\\n\r\t \u3000\u00a0{},0123\u5317\ud800\U0001f600\x00\x1f'


def text(fdp, limit=12):
    """A short str from a small alphabet, or any unicode."""
    if fdp.ConsumeBool():
        return "".join(CHARS[fdp.ConsumeIntInRange(0, len(CHARS) - 1)] for _ in range(fdp.ConsumeIntInRange(0, limit)))
    return fdp.ConsumeUnicode(limit)


def xpath(fdp):
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return text(fdp, 30)
    steps = []
    for _ in range(fdp.ConsumeIntInRange(0, 7)):
        step = STEPS[fdp.ConsumeIntInRange(0, len(STEPS) - 1)]
        if fdp.ConsumeBool() and step and not step.endswith("]"):
            step += f"[{fdp.ConsumeIntInRange(0, 12)}]"
        steps.append(step)
    return ("//" if fdp.ConsumeBool() else "/") + "/".join(steps)


def value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 4:
        return text(fdp)
    if kind == 5:
        return None
    if kind == 6:
        return fdp.ConsumeIntInRange(-2, 2)
    if kind == 7:
        return S(text(fdp))
    if kind == 8 and depth < 2:
        return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 9 and depth < 2:
        return L(value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    if kind == 10 and depth < 2:
        return {text(fdp, 2): value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 2))}
    if kind == 11:
        return (text(fdp),)
    return ""


def scalar(fdp):
    """A value that can be a mapping key."""
    v = value(fdp)
    return v if v is None or isinstance(v, (str, int, tuple)) else text(fdp, 3)


KEYS = ["a", "b", "c", "title", "city", "", "<a>"]


def key(fdp):
    return KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)] if fdp.ConsumeIntInRange(0, 5) else text(fdp, 3)


def row(fdp):
    return {key(fdp): value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))}


def outcome(call, *args):
    """The result, or the kind of the exception."""
    try:
        return ("ok", call(*args))
    except RecursionError:
        raise
    except Exception as error:  # noqa: BLE001 - compared with the model's
        return ("raised", type(error))


def same(got, expected, what):
    if (
        got[0] != expected[0]
        or (got[0] == "raised" and not issubclass(got[1], expected[1]))
        or (got[0] == "ok" and (got[1] != expected[1] or type(got[1]) is not type(expected[1])))
    ):
        raise AssertionError(f"{what}: got {got!r}, expected {expected!r}")


# --- targets -------------------------------------------------------------------------

PARSER = FieldsParser()
MATCHER = FieldsMatcher()
EXTRACTOR = FieldExtractor.__new__(FieldExtractor)
UTIL = TextUtil()


def fuzz_extract_rule(fdp):
    rules = [xpath(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if fdp.ConsumeIntInRange(0, 9) == 0:
        rules[0:1] = [value(fdp)]
    same(outcome(PARSER._extract_rule, rules), outcome(models.extract_rule, rules), f"_extract_rule({rules!r})")


def fuzz_match(fdp):
    head, tail = value(fdp), value(fdp)
    same(outcome(MATCHER.match, head, tail), outcome(models.match, head, tail), f"match({head!r}, {tail!r})")


def fuzz_process(fdp):
    conf = {}
    if fdp.ConsumeBool():
        conf["alias2main_name"] = {
            key(fdp): {scalar(fdp): value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))}
            for _ in range(fdp.ConsumeIntInRange(0, 2))
        }
    if fdp.ConsumeBool():
        values = {}
        if fdp.ConsumeBool():
            values["words"] = [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        if fdp.ConsumeBool():
            values["format"] = [
                "".join(
                    f"<{key(fdp)}>" if fdp.ConsumeBool() else text(fdp, 3) for _ in range(fdp.ConsumeIntInRange(0, 3))
                )
                for _ in range(fdp.ConsumeIntInRange(0, 2))
            ]
        conf["filter"] = {"key": key(fdp), "values": values}
    if fdp.ConsumeBool():
        conf["not_empty_fields"] = [key(fdp) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    rows = [row(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    rows += [dict(r) for r in rows[: fdp.ConsumeIntInRange(0, 2)]]  # some exact duplicates
    de_dup = fdp.ConsumeBool()
    processor = FieldsProcessor(conf)
    same(
        outcome(processor.process_fields, rows, de_dup),
        outcome(models.process_fields, conf, rows, de_dup),
        f"process_fields({conf!r}, {rows!r}, {de_dup!r})",
    )


def fuzz_partial_rows(fdp):
    v = value(fdp)
    if isinstance(v, str) or isinstance(v, list):
        expected = outcome(
            lambda x: (
                json.dumps({"0": x}, ensure_ascii=False)
                if isinstance(x, str)
                else [json.dumps({"0": e}, ensure_ascii=False) for e in x]
            ),
            v,
        )
        same(outcome(EXTRACTOR._get_value, v), expected, f"_get_value({v!r})")
    pairs = []
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        head = {
            str(i): text(fdp) if fdp.ConsumeIntInRange(0, 3) else value(fdp) for i in range(fdp.ConsumeIntInRange(0, 3))
        }
        head = json.dumps(head, ensure_ascii=fdp.ConsumeBool())
        if fdp.ConsumeIntInRange(0, 3) == 0 and head:  # mutate the text
            at = fdp.ConsumeIntInRange(0, len(head) - 1)
            head = head[:at] + text(fdp, 3) + head[at + fdp.ConsumeIntInRange(0, 2) :]
        pairs.append([head, value(fdp)])
    i = fdp.ConsumeIntInRange(0, 4)
    same(
        outcome(EXTRACTOR._add_next_value, pairs, i),
        outcome(models.add_next_value, pairs, i),
        f"_add_next_value({pairs!r}, {i})",
    )


def fuzz_normalize(fdp):
    t = text(fdp, 40)
    same(outcome(UTIL.normalize_element, t), outcome(models.normalize, t), f"normalize_element({t!r})")


TARGETS = [fuzz_extract_rule, fuzz_match, fuzz_process, fuzz_partial_rows, fuzz_normalize]


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    TARGETS[fdp.ConsumeIntInRange(0, len(TARGETS) - 1)](fdp)


def main():
    # The modules under test are native, so the coverage that guides the
    # fuzzer is that of the input generators and the models.
    for function in [
        text,
        xpath,
        value,
        scalar,
        key,
        row,
        models.extract_rule,
        models.match,
        models.process_fields,
        models.add_next_value,
        models.normalize,
        *TARGETS,
        test_one_input,
    ]:
        atheris.instrument_func(function)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
