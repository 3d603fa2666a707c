import pytest
from requests_html import HTML


@pytest.fixture
def page():
    """Builds a real requests_html document from HTML text."""
    return lambda markup: HTML(html=markup)
