"""Velta: schema-driven TL binary serialization."""

from Velta.tl import TLSchemaCompiler

__all__ = ["TLSchemaCompiler"]
__version__ = "0.1.0"
