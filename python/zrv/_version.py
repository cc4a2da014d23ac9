"""The version of the module: that of the ZRV library it belongs to."""

__version__ = "1.1.0"
