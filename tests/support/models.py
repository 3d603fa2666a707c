"""Plain-Python models of what the native components compute, for the
fuzzers and tests to compare them with and the benchmarks to time them
against.

- `extract_rule`: FieldsParser._extract_rule;
- `match`: FieldsMatcher.match; `match_record`: the extractor's row
  matching of one record, step by step around a `match`;
- `process_fields`: FieldsProcessor.process_fields, any rows;
  `process_text_rows`: the same for rows of text values (de-duplicated
  through a set, as a Python programmer would write it);
- `add_next_value`: the extractor's _add_next_value;
- `normalize`: TextUtil.normalize_element.
"""

import json
import re


def extract_rule(rules):
    start_rules = rules[0].split("/")
    location_rules = rules[1].split("/")
    length_rules, end_rules, index = [], [], 0
    end_compare = False
    for i in range(min(len(start_rules), len(location_rules))):
        if end_compare:
            end_rules.append(start_rules[i])
        elif start_rules[i] != location_rules[i]:
            splitted_rules = re.split(r"[\[\]]", start_rules[i])
            length_rules.append(splitted_rules[0])
            index = int(splitted_rules[1])
            end_compare = True
        else:
            length_rules.append(start_rules[i])
    return "/".join(length_rules), "/".join(end_rules), index


KIND = "head_fields and tail_fields must is str or list"
UNEQUAL = "head_fields and tail_fields  is unequal"


def match(head, tail):
    if isinstance(head, str):
        if isinstance(tail, str):
            heads, tails, is_str = [head], [tail], True
        elif isinstance(tail, list):
            heads, tails, is_str = [head] * len(tail), tail, False
        else:
            raise ValueError(KIND)
    elif isinstance(head, list):
        if isinstance(tail, str):
            heads, tails, is_str = head, [tail] * len(head), False
        elif isinstance(tail, list):
            if len(head) != len(tail):
                raise ValueError(UNEQUAL)
            heads, tails, is_str = head, tail, False
        else:
            raise ValueError(KIND)
    else:
        raise ValueError(KIND)
    return [[heads[i], tails[i]] for i in range(len(heads))], is_str


def process_fields(conf, fields, de_dup):
    alias2main_name = conf["alias2main_name"] if "alias2main_name" in conf else {}
    filter_key = conf["filter"]["key"] if "filter" in conf else None
    filter_values = conf["filter"]["values"] if "filter" in conf else {}
    words = filter_values.get("words", {})
    formats = filter_values.get("format", {})
    not_empty = conf.get("not_empty_fields", [])

    converted = []
    for field in fields:
        new = {}
        for field_key, v in field.items():
            table = alias2main_name.get(field_key, {})
            new[field_key] = table.get(v, v) if table else v
        converted.append(new)

    def by_format(field):
        for rule in formats:
            names = re.findall("<(.*?)>", rule)
            for name in names:
                filler = field[name]
                if not isinstance(filler, str):
                    raise TypeError("not text")
                rule = rule.replace(f"<{name}>", filler)
            if rule == field[filter_key]:
                return False
        return True

    kept = converted
    if filter_key is not None:
        kept = [f for f in converted if f[filter_key] in words or not by_format(f)]
    out = []
    for field in kept:
        dropped = False
        for field_key, v in field.items():
            if field_key in not_empty and v == "":
                dropped = True
        if not dropped:
            out.append(field)
    if de_dup:
        unique = []
        for field in out:
            if field not in unique:
                unique.append(field)
        out = unique
    return out


def add_next_value(pairs, i):
    out = []
    for pair in pairs:
        start_value = json.loads(pair[0])
        start_value[str(i)] = pair[1]
        out.append(json.dumps(start_value, ensure_ascii=False))
    return out


BLANKS = "\n \u3000\u00a0\r"
_BLANK_RUNS = re.compile("[" + BLANKS + "]+")


def normalize(text):
    """TextUtil.normalize_element: the blanks trimmed, each run of them one space."""
    return _BLANK_RUNS.sub(" ", text.strip(BLANKS))


def process_text_rows(rows, conf):
    """process_fields(conf, rows, True) for rows of hashable values and a
    conf of aliases and not-empty fields only, de-duplicating through a set
    of frozen items."""
    alias, required = conf["alias2main_name"], conf["not_empty_fields"]
    converted = [{k: (alias.get(k) or {}).get(v, v) for k, v in row.items()} for row in rows]
    kept = [row for row in converted if not any(k in required and v == "" for k, v in row.items())]
    seen, out = set(), []
    for row in kept:
        key = frozenset(row.items())
        if key not in seen:
            seen.add(key)
            out.append(row)
    return out


def match_record(match, field):
    """The row matching of one record (a mapping of field name to str or
    list) as the extractor does it, with `match` pairing the partial rows
    with the next field's values."""
    keys = list(field)
    matched_key = {"0": keys[0]}
    first = field[keys[0]]
    values = (
        json.dumps({"0": first}, ensure_ascii=False)
        if isinstance(first, str)
        else [json.dumps({"0": v}, ensure_ascii=False) for v in first]
    )
    for i in range(1, len(keys)):
        matched_key[str(i)] = keys[i]
        pairs, is_str = match(values, field[keys[i]])
        values = []
        for head, tail in pairs:
            row = json.loads(head)
            row[str(i)] = tail
            values.append(json.dumps(row, ensure_ascii=False))
        if is_str and i != len(keys) - 1:
            values = values[0]
    rows = []
    for text in values:
        row = json.loads(text)
        rows.append({key: row[number] for number, key in matched_key.items()})
    return rows
