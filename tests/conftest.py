import pytest
from requests_html import HTML

from tests.support.cli import RULES


@pytest.fixture
def page():
    """Builds a real requests_html document from HTML text."""
    return lambda markup: HTML(html=markup)


@pytest.fixture
def rules(tmp_path):
    """The path of a rules file for the command-line tests (support.cli.RULES)."""
    path = tmp_path / "rules.yaml"
    path.write_text(RULES, encoding="utf-8")
    return str(path)
