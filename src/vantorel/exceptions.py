"""Error types shared by the vantorel packages."""


class VantorelError(Exception):
    """Base error of the package: an invalid or incomplete data package, a failed update.

    Built from one message text, which is also its ``str()``.
    """

    def __init__(self, message: str = "") -> None:
        super().__init__(message)
        self.message = message


class NetworkError(VantorelError):
    """A data-service request or a download failed."""
