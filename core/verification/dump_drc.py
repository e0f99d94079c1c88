"""Dumps a KLayout DRC report database as JSON."""
