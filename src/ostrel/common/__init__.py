"""Pieces shared by the ostrel tools."""
