"""A seeded fuzz suite of the public entry points; see tests/test_fuzz.py."""
