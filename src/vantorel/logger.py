"""The package logger: a standard ``logging.Logger`` named "vantorel".

No handler is installed here beyond a ``NullHandler``; applications configure
logging as they like.
"""

import logging

logger = logging.getLogger("vantorel")
logger.addHandler(logging.NullHandler())

__all__ = ["logger"]
