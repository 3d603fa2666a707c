"""Loading configuration files.

``ConfigUtils.load`` reads a JSON file (name ending in ``.json``) or a YAML
file (any other name) into a mapping. Both readers refuse a key that appears
twice in one mapping instead of letting the later value silently win, and
YAML is read with a safe loader: only plain data (mappings, lists, scalars)
can come out of a file, never arbitrary Python objects.
"""

import json
import os
import types

import yaml

__all__ = ["ConfigUtils"]

_MERGE_TAG = "tag:yaml.org,2002:merge"


class _DuplicateKeyError(Exception):
    """A mapping in the file names the same key twice."""

    def __init__(self, key, line=None):
        super().__init__(key, line)
        self.key = key
        self.line = line  # 1-based, when the reader knows it


class _StrictSafeLoader(yaml.SafeLoader):
    """SafeLoader that refuses duplicate keys in any mapping."""

    def construct_mapping(self, node, deep=False):
        if isinstance(node, yaml.MappingNode):
            seen = set()
            for key_node, _ in node.value:
                # "<<: *anchor" merges are allowed to be overridden by the
                # mapping's own keys, so only the explicit keys are checked.
                if key_node.tag == _MERGE_TAG:
                    continue
                key = self.construct_object(key_node, deep=deep)
                try:
                    duplicate = key in seen
                except TypeError:
                    continue  # unhashable: the base class reports it
                if duplicate:
                    raise _DuplicateKeyError(key, key_node.start_mark.line + 1)
                seen.add(key)
        return super().construct_mapping(node, deep=deep)


def _json_object(pairs):
    mapping = {}
    for key, value in pairs:
        if key in mapping:
            raise _DuplicateKeyError(key)
        mapping[key] = value
    return mapping


def _freeze(value):
    """Deeply read-only copy: dicts become MappingProxyType, lists tuples."""
    if isinstance(value, dict):
        frozen = {key: _freeze(item) for key, item in value.items()}
        return types.MappingProxyType(frozen)
    if isinstance(value, (list, tuple)):
        return tuple(_freeze(v) for v in value)
    if isinstance(value, (set, frozenset)):
        return frozenset(value)
    return value


class ConfigUtils:
    """Configuration file loader."""

    @classmethod
    def load(cls, path, readonly=False):
        """Load the configuration file at ``path`` and return its top mapping.

        ``path`` is a str or an ``os.PathLike`` naming a str path. A name
        ending in ``.json`` (any case) is read as JSON, any other as YAML;
        the file is UTF-8, with or without a byte order mark. Mappings keep
        the file's key order.

        With ``readonly`` false the result is made of plain dicts and lists.
        With ``readonly`` true every mapping is a ``types.MappingProxyType``
        and every list a tuple, at every depth.

        Raises TypeError for a path of another kind (bytes included),
        FileNotFoundError (or another OSError) when the file cannot be read,
        and ValueError naming the file for text that is not UTF-8, a syntax
        error (with its 1-based line), a key repeated within one mapping, or
        a top level that is not a mapping.
        """
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"configuration path must be a str or os.PathLike, not {type(path).__name__}")
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError(f"configuration path must name a str path, not {type(path).__name__}")

        with open(path, "rb") as stream:
            data = stream.read()
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError as exc:
            line = data[: exc.start].count(b"\n") + 1
            raise ValueError(f"{path}: line {line}: not valid UTF-8 ({exc.reason})") from None

        try:
            if path.lower().endswith(".json"):
                conf = cls._parse_json(path, text)
            else:
                conf = cls._parse_yaml(path, text)
        except _DuplicateKeyError as exc:
            where = f": line {exc.line}" if exc.line is not None else ""
            raise ValueError(f"{path}{where}: duplicate key {exc.key!r}") from None

        if not isinstance(conf, dict):
            found = "nothing" if conf is None else type(conf).__name__
            raise ValueError(f"{path}: the top level must be a mapping, found {found}")
        return _freeze(conf) if readonly else conf

    @staticmethod
    def _parse_json(path, text):
        try:
            return json.loads(text, object_pairs_hook=_json_object)
        except json.JSONDecodeError as exc:
            raise ValueError(f"{path}: line {exc.lineno}, column {exc.colno}: invalid JSON: {exc.msg}") from None

    @staticmethod
    def _parse_yaml(path, text):
        try:
            return yaml.load(text, Loader=_StrictSafeLoader)
        except yaml.YAMLError as exc:
            mark = getattr(exc, "problem_mark", None)
            where = ""
            if mark is not None:
                where = f": line {mark.line + 1}, column {mark.column + 1}"
            problem = getattr(exc, "problem", None) or str(exc)
            context = getattr(exc, "context", None)
            context_mark = getattr(exc, "context_mark", None)
            if context and context_mark:
                context += f" at line {context_mark.line + 1}"
            detail = f"{problem} ({context})" if context else problem
            raise ValueError(f"{path}{where}: invalid YAML: {detail}") from None
