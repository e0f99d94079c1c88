"""Parametric component library.

Components defined here are registered with the component registry of the compiled module so
that they can be regenerated from their keyword arguments.
"""
