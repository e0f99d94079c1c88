"""Geometric primitives and their combinations."""
