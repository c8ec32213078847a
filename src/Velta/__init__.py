"""Velta: schema-driven TL binary serialization."""

from Velta.tl import TLParser, TLSchemaCompiler

__all__ = ["TLParser", "TLSchemaCompiler"]
__version__ = "0.2.0"
