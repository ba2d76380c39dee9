"""The demonstration application's modules."""
