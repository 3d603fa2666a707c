"""Text utilities of the extractor."""
