__version__: str

__all__ = ["__version__"]
