"""ostrel: tools for crawling the web."""
