"""vantorel: quantitative-research toolkit for China A-shares."""

__version__ = "0.1.0"
