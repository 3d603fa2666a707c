import pathlib
import types

import pytest

from ostrel.common.utils import ConfigUtils


def write(tmp_path, name, text, encoding="utf-8"):
    path = tmp_path / name
    path.write_bytes(text.encode(encoding))
    return str(path)


YAML_CONF = """\
value_separator: " | "
rules:
  - title:
      rules: "//h1"
    price:
      rules: ["//table/tr[2]/td[2]", "//table/tr[3]/td[2]"]
    link:
      rules: "//a"
      type: "attr:href"
    shop: 京东
not_empty_fields: [title]
"""

JSON_CONF = """\
{"value_separator": " | ",
 "rules": [{"title": {"rules": "//h1"},
            "price": {"rules": ["//table/tr[2]/td[2]", "//table/tr[3]/td[2]"]},
            "link": {"rules": "//a", "type": "attr:href"},
            "shop": "京东"}],
 "not_empty_fields": ["title"]}
"""

EXPECTED = {
    "value_separator": " | ",
    "rules": [
        {
            "title": {"rules": "//h1"},
            "price": {"rules": ["//table/tr[2]/td[2]", "//table/tr[3]/td[2]"]},
            "link": {"rules": "//a", "type": "attr:href"},
            "shop": "京东",
        }
    ],
    "not_empty_fields": ["title"],
}


@pytest.mark.parametrize(
    "name, text",
    [
        ("rules.yaml", YAML_CONF),
        ("rules.yml", YAML_CONF),
        ("rules", YAML_CONF),  # no suffix: YAML
        ("rules.json", JSON_CONF),
        ("RULES.JSON", JSON_CONF),
    ],
)
def test_loads_plain_data_in_file_order(tmp_path, name, text):
    conf = ConfigUtils.load(write(tmp_path, name, text))

    assert conf == EXPECTED
    assert type(conf) is dict and type(conf["rules"]) is list
    entry = conf["rules"][0]
    assert type(entry) is dict
    assert list(entry) == ["title", "price", "link", "shop"]
    assert type(entry["price"]["rules"]) is list


@pytest.mark.parametrize("name", ["rules.yaml", "rules.json"])
def test_key_order_is_the_file_order_not_sorted(tmp_path, name):
    keys = ["zeta", "alpha", "mid", "beta", "omega", "a"]
    if name.endswith(".json"):
        text = "{" + ", ".join(f'"{k}": {i}' for i, k in enumerate(keys)) + "}"
    else:
        text = "".join(f"{k}: {i}\n" for i, k in enumerate(keys))

    assert list(ConfigUtils.load(write(tmp_path, name, text))) == keys


@pytest.mark.parametrize("name", ["rules.yaml", "rules.json"])
def test_utf8_bom_is_tolerated(tmp_path, name):
    text = '{"shop": "京东"}' if name.endswith(".json") else "shop: 京东\n"
    path = write(tmp_path, name, "\ufeff" + text)

    assert ConfigUtils.load(path) == {"shop": "京东"}


def test_accepts_path_like(tmp_path):
    path = pathlib.Path(write(tmp_path, "rules.yaml", YAML_CONF))

    assert ConfigUtils.load(path) == EXPECTED


@pytest.mark.parametrize("name", ["rules.json", "RULES.JSON", "rules.Json"])
@pytest.mark.parametrize("as_path_like", [False, True])
def test_json_suffix_selects_the_json_reader(tmp_path, name, as_path_like):
    # Valid JSON that YAML rejects: a tab cannot start a YAML token.
    path = write(tmp_path, name, '{\n\t"a": 1}')
    if as_path_like:
        path = pathlib.Path(path)

    assert ConfigUtils.load(path) == {"a": 1}


@pytest.mark.parametrize(
    "path",
    [
        None,
        42,
        3.5,
        b"rules.yaml",
        ["rules.yaml"],
        object(),
    ],
)
def test_path_of_wrong_kind_is_a_type_error(path):
    with pytest.raises(TypeError):
        ConfigUtils.load(path)


def test_path_like_naming_bytes_is_a_type_error(tmp_path):
    write(tmp_path, "rules.yaml", YAML_CONF)

    class BytesPath:
        def __fspath__(self):
            return str(tmp_path / "rules.yaml").encode()

    with pytest.raises(TypeError):
        ConfigUtils.load(BytesPath())


@pytest.mark.parametrize("name", ["missing.yaml", "missing.json"])
def test_missing_file(tmp_path, name):
    with pytest.raises(FileNotFoundError):
        ConfigUtils.load(str(tmp_path / name))


@pytest.mark.parametrize(
    "name, text, line",
    [
        ("rules.yaml", "a: 1\nb: [1, 2\nc: 3\n", 3),
        ("rules.yaml", "a: 1\nb: 2\n  c: 3\n", 3),
        ("rules.yaml", "a: 1\n\tb: 2\n", 2),
        ("rules.yaml", "a: 1\n---\nb: 2\n", 2),
        ("rules.json", '{"a": 1,\n "b": 2,\n "c": }\n', 3),
        ("rules.json", '{"a": 1\n "b": 2}\n', 2),
        ("rules.json", '{"a": 1}\n\n{"b": 2}\n', 3),
    ],
)
def test_syntax_error_names_file_and_line(tmp_path, name, text, line):
    path = write(tmp_path, name, text)

    with pytest.raises(ValueError) as info:
        ConfigUtils.load(path)

    message = str(info.value)
    assert path in message
    assert f"line {line}" in message


def test_syntax_error_line_is_not_shifted_by_a_bom(tmp_path):
    path = write(tmp_path, "rules.json", '\ufeff{"a": 1,\n "b": }\n')

    with pytest.raises(ValueError, match="line 2"):
        ConfigUtils.load(path)


@pytest.mark.parametrize(
    "name, text, key",
    [
        ("rules.yaml", "rules: []\nvalue_separator: a\nvalue_separator: b\n", "value_separator"),
        ("rules.yaml", "rules:\n  - title: {rules: a}\n    price: {rules: b}\n    title: {rules: c}\n", "title"),
        ("rules.yaml", "rules:\n  - title:\n      rules: a\n      rules: b\n", "rules"),
        ("rules.yaml", "filter:\n  values: {words: [a], words: [b]}\n", "words"),
        ("rules.json", '{"value_separator": "a", "value_separator": "b"}', "value_separator"),
        ("rules.json", '{"rules": [{"title": {"rules": "a"}, "title": {"rules": "b"}}]}', "title"),
        ("rules.json", '{"rules": [{"title": {"rules": "a", "rules": "b"}}]}', "rules"),
    ],
)
def test_duplicate_key_at_any_depth_is_refused(tmp_path, name, text, key):
    path = write(tmp_path, name, text)

    with pytest.raises(ValueError) as info:
        ConfigUtils.load(path)

    message = str(info.value)
    assert path in message
    assert f"duplicate key {key!r}" in message


def test_yaml_duplicate_key_reports_its_line(tmp_path):
    path = write(tmp_path, "rules.yaml", "a: 1\nb:\n  x: 1\n  y: 2\n  x: 3\n")

    with pytest.raises(ValueError, match=r"line 5: duplicate key 'x'"):
        ConfigUtils.load(path)


@pytest.mark.parametrize(
    "text",
    [
        "a: 1\nb: 1\n",  # equal values, distinct keys
        "a: {x: 1}\nb: {x: 1}\n",  # same key in sibling mappings
        "base: &base {x: 1, y: 2}\n"  # a merged key may be overridden
        "derived:\n  <<: *base\n  x: 3\n",
    ],
)
def test_yaml_keys_that_are_not_duplicates(tmp_path, text):
    ConfigUtils.load(write(tmp_path, "rules.yaml", text))


def test_yaml_merge_override_keeps_the_explicit_value(tmp_path):
    text = "base: &base {x: 1, y: 2}\nderived:\n  <<: *base\n  x: 3\n"

    conf = ConfigUtils.load(write(tmp_path, "rules.yaml", text))

    assert conf["derived"] == {"x": 3, "y": 2}


@pytest.mark.parametrize(
    "name, text",
    [
        ("rules.yaml", "- a\n- b\n"),
        ("rules.yaml", "just text\n"),
        ("rules.yaml", ""),
        ("rules.yaml", "# only a comment\n"),
        ("rules.json", "[1, 2]"),
        ("rules.json", '"text"'),
        ("rules.json", "null"),
    ],
)
def test_top_level_must_be_a_mapping(tmp_path, name, text):
    path = write(tmp_path, name, text)

    with pytest.raises(ValueError, match="mapping") as info:
        ConfigUtils.load(path)
    assert path in str(info.value)


@pytest.mark.parametrize(
    "text",
    [
        "a: !!python/object/apply:os.system ['true']\n",
        "a: !!python/name:os.system\n",
        "a: !!python/tuple [1, 2]\n",
    ],
)
def test_yaml_python_tags_are_refused(tmp_path, text):
    with pytest.raises(ValueError):
        ConfigUtils.load(write(tmp_path, "rules.yaml", text))


def test_text_that_is_not_utf8_is_a_value_error(tmp_path):
    path = write(tmp_path, "rules.yaml", "a: 1\nshop: 京东\n", encoding="gbk")

    with pytest.raises(ValueError, match="line 2") as info:
        ConfigUtils.load(path)
    assert path in str(info.value)


@pytest.mark.parametrize(
    "name, text",
    [
        ("rules.yaml", YAML_CONF),
        ("rules.json", JSON_CONF),
    ],
)
def test_readonly_is_read_only_at_every_depth(tmp_path, name, text):
    conf = ConfigUtils.load(write(tmp_path, name, text), readonly=True)

    assert conf == EXPECTED_FROZEN
    assert isinstance(conf, types.MappingProxyType)
    rules = conf["rules"]
    assert isinstance(rules, tuple)
    entry = rules[0]
    assert isinstance(entry, types.MappingProxyType)
    assert list(entry) == ["title", "price", "link", "shop"]
    assert isinstance(entry["price"], types.MappingProxyType)
    assert entry["price"]["rules"] == ("//table/tr[2]/td[2]", "//table/tr[3]/td[2]")

    for mapping in (conf, entry, entry["price"]):
        with pytest.raises(TypeError):
            mapping["new"] = 1
        with pytest.raises(TypeError):
            del mapping[next(iter(mapping))]
    assert not hasattr(rules, "append")


def test_readonly_false_is_the_default_and_mutable(tmp_path):
    path = write(tmp_path, "rules.yaml", YAML_CONF)

    conf = ConfigUtils.load(path)
    conf["rules"][0]["title"]["rules"] = "//h2"
    conf["rules"].append({})

    # Each load reads the file afresh: an earlier caller's edits are not seen.
    assert ConfigUtils.load(path, readonly=False) == EXPECTED


EXPECTED_FROZEN = {
    "value_separator": " | ",
    "rules": (
        {
            "title": {"rules": "//h1"},
            "price": {"rules": ("//table/tr[2]/td[2]", "//table/tr[3]/td[2]")},
            "link": {"rules": "//a", "type": "attr:href"},
            "shop": "京东",
        },
    ),
    "not_empty_fields": ("title",),
}
