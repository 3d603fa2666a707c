"""Stand-ins for requests_html documents and elements, for the parsers."""


class FakeElement:
    """A result element of `FakeDoc`: `.element.text_content()` and `.attrs`."""

    def __init__(self, text="", attrs=None):
        self.element = self
        self._text = text
        self.attrs = {} if attrs is None else attrs

    def text_content(self):
        return self._text


class FakeDoc:
    """A stand-in document: answers `xpath` from a table and records the calls."""

    def __init__(self, answers=None, default=()):
        self.answers = answers or {}
        self.default = default
        self.calls = []

    def xpath(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        answer = self.answers.get(args[0], self.default)
        if callable(answer):
            return answer()
        return list(answer) if isinstance(answer, (list, tuple)) else answer


def texts(*values):
    return [FakeElement(v) for v in values]
