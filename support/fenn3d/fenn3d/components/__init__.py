"""Simulation objects: geometry, media and specifications."""
