"""Hostile arguments: every method of every class called with wrong kinds,
wrong numbers of arguments, subclasses, mappings and iterables that raise,
documents that answer oddly and configurations of every wrong shape. Each
call ends in a Python exception (or a result), never a crash, and the next
good call gives the right result."""

import json

import pytest

from ostrel.crawler.field_extractor.extractor import FieldExtractor


def test_partial_row_of_a_dict_with_deleted_entries(monkeypatch):
    # A decoded partial row whose first entry sits past slot 0 of its dict
    # (here: the decoder's dict had an entry deleted) is written exactly.
    def pairs_hook(pairs):
        row = {"pad": 0}
        row.update(pairs)
        del row["pad"]
        return row

    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(object_pairs_hook=pairs_hook))
    ex = FieldExtractor.__new__(FieldExtractor)
    assert ex._add_next_value([['{"0": "\\u0041"}', "t"]], 1) == ['{"0": "A", "1": "t"}']
