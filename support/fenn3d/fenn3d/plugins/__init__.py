"""Optional solver plugins."""
