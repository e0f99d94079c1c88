"""Dumps a KLayout LVS database as JSON."""
