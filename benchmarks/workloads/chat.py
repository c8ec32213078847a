"""The chat schema and its seeded values (made in ``tests/chat_values.py``)."""

from __future__ import annotations

from chat_values import (CHAT_SCHEMA, INT32_MAX, INT64_MAX, WORKLOADS, chat_history, list_result, payload,
                         small_object, split_type, vector_of)

from . import schema_json

__all__ = ["CHAT_SCHEMA", "INT32_MAX", "INT64_MAX", "WORKLOADS", "chat_history", "list_result", "payload",
           "schema_json", "small_object", "split_type", "vector_of"]
