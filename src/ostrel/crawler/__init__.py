"""Crawling tools."""
