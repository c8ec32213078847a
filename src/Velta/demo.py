"""Packs and unpacks a small chat-history message with the bundled schema.

Run it with ``python -m Velta.demo``.
"""

from importlib import resources
from importlib.resources.abc import Traversable
from typing import Any

from Velta.tl import TLParser


def _example_file() -> Traversable:
    return resources.files("Velta").joinpath("examples", "chat.json")


def example_schema() -> str:
    """The JSON text of the bundled example schema."""
    return _example_file().read_text(encoding="utf-8")


def example_schema_path() -> str:
    """Where the bundled example schema is installed (``velta demo --schema-path``)."""
    return str(_example_file())


def example_message() -> dict[str, Any]:
    """A history page with one message, as the dict shape pack accepts."""
    return {
        "_": "messages.messages",
        "messages": [
            {
                "_": "message",
                "out": True,
                "id": 1042,
                "from_id": {"_": "peerUser", "user_id": 777000},
                "date": 1765000000,
                "message": "Hello from Velta \N{WAVING HAND SIGN}",
                "entities": [{"_": "messageEntityBold", "offset": 0, "length": 5}],
                "views": None,
                "rating": 4.5,
            }
        ],
        "users": [
            {
                "_": "user",
                "bot": False,
                "id": 777000,
                "first_name": "Velta",
                "username": None,
                "photo": {"_": "userProfilePhoto", "photo_id": 1, "dc_id": 2, "stripped_thumb": b"\x01\x02"},
            }
        ],
    }


def main() -> int:
    parser = TLParser(example_schema())
    message = example_message()
    data = parser.pack(message)
    decoded = parser.unpack(data)
    print(f"packed {len(data)} bytes:")
    for offset in range(0, len(data), 32):
        print(f"  {offset:04x}  {data[offset:offset + 32].hex(' ')}")
    print("unpacked:")
    print(f"  {decoded!r}")
    if decoded != message:
        print("round trip FAILED")
        return 1
    print("round trip OK")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
