"""One module per command; each offers ``register(subparsers, parents)``, which adds its parser and
points ``run`` at the function carrying it out."""
