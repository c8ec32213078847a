"""Values of real shape from the public schema (made in ``tests/api_values.py``)."""

from __future__ import annotations

from api_values import (API_TL, api_schema, api_schema_json, available, complete, history_page, missing_reason,
                        SHAPES, shaped, small_user, users_page)

__all__ = ["API_TL", "api_schema", "api_schema_json", "available", "complete", "history_page", "missing_reason",
           "SHAPES", "shaped", "small_user", "users_page"]
