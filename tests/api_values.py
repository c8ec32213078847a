"""Deterministic workloads of real shape, from the public API schema.

The public TL schema of a messaging API lives in ``../shared/schemas/api.tl``
beside the repository (layer 220, about 1,500 constructors and 750 methods).
This module converts it with ``Velta.schema.from_tl`` and builds seeded values
of its real constructors:

* ``history_page()``: a ``messages.messagesSlice`` of 100 ``message`` objects
  (peer ids, text, entities, some photo/document/web page media, reply
  headers, forwards, views, reactions, edits), 20 ``user`` and 5 ``chat`` /
  ``channel`` objects: about 33 KB of TL, like a real page of history;
* ``small_user()``: one ``user`` with 11 fields set (3 ``true`` flags, id,
  access hash, names, username, phone, profile photo, status);
* ``users_page(n)``: a ``contacts.contacts`` holding ``n`` users of that
  kind (each from its own seed), for the per-object growth table.

Values are completed to the exact shape ``TLParser.unpack`` returns (every
non-flags field has a key (in the standard mode every ``#`` field too, holding the
bits its conditional fields set), an absent conditional field is ``None``, an absent
conditional ``true`` is ``False``; fields sharing a flag bit are filled with
zero values once one of them is given), for the default mode or, with
``standard=True``, for the standard mode, so ``unpack(pack(v)) == v`` in the
mode the value was made for. ``int`` values stay in 0..2**31-1 and ``long``
values in 0..2**63-1, which read back the same in both modes.

Each maker takes ``shape=`` (``SHAPES``): the completed value with interned
keys (the default), the same with keys that are equal but other objects, as
a JSON decoder makes them, or the sparse value as code writes it.

``available()`` is False (and ``missing_reason()`` says why) when the schema
file is absent or ``Velta.schema`` cannot be imported; the tests and the
benchmarks then skip these workloads with that message.

The tests use these values (the schema text tests), and so do the benchmarks
(``benchmarks/workloads/api.py``): they live here because the source
distribution ships the tests but not the benchmarks.
"""

from __future__ import annotations

import functools
import json
import os
import random
import sys
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
API_TL = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "schemas", "api.tl"))

INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1

__all__ = [
    "API_TL",
    "api_schema",
    "api_schema_json",
    "available",
    "complete",
    "equal_keys",
    "fresh_str",
    "history_page",
    "missing_reason",
    "SHAPES",
    "shaped",
    "small_user",
    "users_page",
]


# ---------------------------------------------------------------------------
# The schema
# ---------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def _load() -> tuple[dict | None, str]:
    if not os.path.exists(API_TL):
        return None, f"the public schema {API_TL} is absent (../shared/schemas/api.tl beside the repository)"
    try:
        from Velta.schema import from_tl
    except Exception as exc:  # the package is not installed
        return None, f"Velta.schema is not importable ({type(exc).__name__}: {exc})"
    with open(API_TL, encoding="utf-8") as f, warnings.catch_warnings():
        # The public text has a few lines whose ids the converter reports.
        warnings.simplefilter("ignore")
        return from_tl(f.read()), ""


def available() -> bool:
    return _load()[0] is not None


def missing_reason() -> str:
    return _load()[1]


def api_schema() -> dict:
    """The public schema in the JSON shape (constructors and methods)."""
    schema, reason = _load()
    if schema is None:
        raise LookupError(reason)
    return schema


@functools.lru_cache(maxsize=None)
def api_schema_json() -> str:
    """The public schema as compact JSON text, the way schema files ship."""
    return json.dumps(api_schema(), separators=(",", ":"), ensure_ascii=False)


@functools.lru_cache(maxsize=None)
def _by_name() -> dict:
    table = {}
    for entry in api_schema()["constructors"]:
        table[entry["predicate"]] = entry
    return table


# ---------------------------------------------------------------------------
# Completing a sparse value to the shape unpack returns
# ---------------------------------------------------------------------------

_ZERO = {"int": 0, "long": 0, "#": 0, "double": 0.0, "string": "", "bytes": b"", "Bool": False}


def _zero(type_text: str):
    if type_text in _ZERO:
        return _ZERO[type_text]
    if type_text.startswith("Vector<"):
        return []
    raise ValueError(f"no zero value for an object of type {type_text}: give the field")


def _is_flags_word(param: dict, standard: bool) -> bool:
    if param["type"] != "#":
        return False
    return standard or param["name"] in ("flags", "flags2")


def complete(value, standard: bool = False):
    """``value`` with every object completed to the shape unpack returns.

    Objects are dicts with ``"_"`` naming a constructor of the public schema
    and only the fields that are set; the result has the fields in schema
    order, conditional ones absent as ``None`` (``False`` for ``true``, and
    for ``flags.N?Bool`` in the default mode).
    """
    if isinstance(value, list):
        return [complete(v, standard) for v in value]
    if not isinstance(value, dict) or "_" not in value:
        return value
    entry = _by_name()[value["_"]]
    unknown = set(value) - {"_"} - {p["name"] for p in entry["params"]}
    if unknown:
        raise KeyError(f"{value['_']} has no field(s) {sorted(unknown)}")
    # Which flag bits are set: fields that share a bit travel together.
    present = set()
    for p in entry["params"]:
        if "?" in p["type"]:
            cond, inner = p["type"].split("?", 1)
            given = value.get(p["name"])
            if given is not None and (inner not in ("true",) and not (inner == "Bool" and not standard)
                                      or given is True):
                present.add(cond)
    out = {"_": value["_"]}
    for p in entry["params"]:
        # Keys as code writes them: literal keys are interned strings.
        name, type_text = sys.intern(p["name"]), p["type"]
        if _is_flags_word(p, standard):
            if standard:  # a '#' field is a value too: the bits its fields set
                out[name] = sum(1 << int(cond.split(".")[1]) for cond in present
                                if cond.split(".")[0] == p["name"])
            continue
        if "?" in type_text:
            cond, inner = type_text.split("?", 1)
            if inner == "true" or (inner == "Bool" and not standard):
                out[name] = cond in present
            elif cond in present:
                given = value.get(name)
                out[name] = complete(given, standard) if given is not None else _zero(inner)
            else:
                out[name] = None
            continue
        if name in value:
            out[name] = complete(value[name], standard)
        elif type_text == "true":
            out[name] = True if standard else False
        else:
            out[name] = _zero(type_text)
    return out


# ---------------------------------------------------------------------------
# The shapes the same value comes in
# ---------------------------------------------------------------------------

# "interned": as unpack returns it, every field given, keys the interned names;
# "equal": the same, as a JSON decoder gives it: keys equal to the names but
# other objects (one object per distinct key in a document, as json.loads
# shares them), constructor names fresh strs;
# "sparse": as code writes it, only the fields that are set, literal keys, in
# the order the code writes them.
SHAPES = ("interned", "equal", "sparse")


def fresh_str(text: str) -> str:
    """A str equal to ``text`` but another object, as a decoder makes it (a
    slice of two or more characters is a new str; one character is the
    interpreter's own single-character str wherever it comes from, JSON too)."""
    return (text + ".")[:-1]


def equal_keys(value, memo: dict | None = None):
    """``value`` with every key and every "_" a str equal to it but another
    object: one object per distinct key when ``memo`` is given (as json.loads
    shares them within a document), a new one for every key otherwise."""
    if isinstance(value, list):
        return [equal_keys(v, memo) for v in value]
    if not isinstance(value, dict):
        return value
    out = {}
    for key, item in value.items():
        own = memo.setdefault(key, fresh_str(key)) if memo is not None else fresh_str(key)
        out[own] = fresh_str(item) if key == "_" else equal_keys(item, memo)
    return out


def shaped(sparse_value, shape: str, standard: bool = False):
    """``sparse_value`` (as code writes it) in the given shape of SHAPES."""
    if shape == "sparse":
        return sparse_value
    value = complete(sparse_value, standard)
    if shape == "interned":
        return value
    if shape == "equal":
        return equal_keys(value, {})
    raise ValueError(f"unknown shape {shape!r}; expected one of {SHAPES}")


# ---------------------------------------------------------------------------
# Value makers (sparse; shaped at the end)
# ---------------------------------------------------------------------------

_FIRST = ["Alice", "Bob", "Carol", "Dmitri", "Eve", "Farid", "Grace", "Hiro", "Ingrid", "Jamal",
          "Kateryna", "Luis", "Mei", "Nadia", "Oskar", "Priya", "Quentin", "Rosa", "Sven", "Tomás"]
_LAST = ["Anders", "Baker", "Chen", "Dubois", "Eriksen", "Fischer", "García", "Hoffmann", "Ivanova",
         "Jensen", "Kowalski", "López", "Müller", "Nakamura", "Okafor", "", "", ""]
_WORDS = ("the a to of and in is it you that for on was with as have be at one this we meeting "
          "tomorrow link file photo release build test fixed works thanks sure later ok check "
          "please look new version update morning tonight lunch call review merge branch").split()
_EXTRA = ["привет", "спасибо", "こんにちは", "😀", "👍", "🎉", "ñandú", "straße", "日本語", "😂🔥"]
_TITLES = ["Release planning", "Family", "Climbing club", "Rust & C++ devs", "Daily news",
           "Photography", "Book club"]
_SITES = [("GitHub", "github.com"), ("YouTube", "youtube.com"), ("Wikipedia", "en.wikipedia.org"),
          ("Docs", "docs.python.org")]


def _i32(rng: random.Random, lo: int = 0, hi: int = INT32_MAX) -> int:
    return rng.randint(lo, hi)


def _i64(rng: random.Random) -> int:
    return rng.randint(0, INT64_MAX)


def _date(rng: random.Random) -> int:
    return rng.randint(1_700_000_000, 1_760_000_000)


def _text(rng: random.Random, lo: int, hi: int) -> str:
    words = [rng.choice(_WORDS) for _ in range(rng.randint(lo, hi))]
    if words and rng.random() < 0.25:
        words[rng.randrange(len(words))] = rng.choice(_EXTRA)
    return " ".join(words)


def _username(rng: random.Random, first: str) -> str:
    base = "".join(c for c in first.lower() if c.isascii() and c.isalpha()) or "user"
    return f"{base}_{rng.randint(10, 99999)}"


def _user(rng: random.Random, user_id: int, *, small: bool = False) -> dict:
    """A ``user``; ``small=True`` sets exactly 11 fields."""
    first = rng.choice(_FIRST)
    user = {
        "_": "user",
        "contact": True, "mutual_contact": True, "premium": rng.random() < 0.5 if not small else True,
        "id": user_id,
        "access_hash": _i64(rng),
        "first_name": first,
        "last_name": rng.choice(_LAST) or "Smith",
        "username": _username(rng, first),
        "phone": "".join(str(rng.randint(0, 9)) for _ in range(11)),
        "photo": {"_": "userProfilePhoto", "photo_id": _i64(rng), "dc_id": rng.randint(1, 5)},
        "status": {"_": "userStatusOffline", "was_online": _date(rng)},
    }
    if small:
        return user
    if rng.random() < 0.3:
        user["photo"]["stripped_thumb"] = rng.randbytes(rng.randint(20, 40))
    if rng.random() < 0.4:
        user["status"] = {"_": "userStatusRecently"}
    if rng.random() < 0.3:
        user["lang_code"] = rng.choice(["en", "de", "ru", "es", "pt-br", "ja"])
    if rng.random() < 0.25:
        user["color"] = {"_": "peerColor", "color": rng.randint(0, 6)}
    if rng.random() < 0.1:
        user["bot"] = True
        user["bot_info_version"] = rng.randint(1, 20)
    if rng.random() < 0.1:
        user["verified"] = True
    if rng.random() < 0.2:
        del user["phone"]
        user["contact"] = user["mutual_contact"] = False
    return user


def _chat_photo(rng: random.Random) -> dict:
    photo = {"_": "chatPhoto", "photo_id": _i64(rng), "dc_id": rng.randint(1, 5)}
    if rng.random() < 0.5:
        photo["stripped_thumb"] = rng.randbytes(rng.randint(20, 40))
    return photo


def _group(rng: random.Random, chat_id: int) -> dict:
    return {"_": "chat", "id": chat_id, "title": rng.choice(_TITLES), "photo": _chat_photo(rng),
            "participants_count": rng.randint(3, 200), "date": _date(rng), "version": rng.randint(1, 50)}


def _channel(rng: random.Random, channel_id: int, megagroup: bool) -> dict:
    channel = {"_": "channel", "id": channel_id, "access_hash": _i64(rng), "title": rng.choice(_TITLES),
               "photo": _chat_photo(rng), "date": _date(rng),
               "participants_count": rng.randint(100, 500_000)}
    if megagroup:
        channel["megagroup"] = True
    else:
        channel["broadcast"] = True
        channel["username"] = _username(rng, channel["title"].split()[0])
        channel["signatures"] = rng.random() < 0.5
    if rng.random() < 0.5:
        channel["default_banned_rights"] = {"_": "chatBannedRights", "until_date": 0x7FFFFFFF,
                                            "send_polls": True, "change_info": True, "pin_messages": True}
    return channel


def _entities(rng: random.Random, text: str, user_ids: list[int]) -> list[dict]:
    out = []
    length = len(text.encode("utf-16-le")) // 2
    for _ in range(rng.choice([0, 0, 0, 1, 1, 2, 3])):
        if length < 2:
            break
        offset = rng.randrange(length - 1)
        span = rng.randint(1, min(12, length - offset))
        kind = rng.choice(["messageEntityBold", "messageEntityItalic", "messageEntityCode",
                           "messageEntityUrl", "messageEntityTextUrl", "messageEntityMentionName"])
        entity = {"_": kind, "offset": offset, "length": span}
        if kind == "messageEntityTextUrl":
            entity["url"] = f"https://{rng.choice(_SITES)[1]}/{rng.randint(1, 10**6)}"
        elif kind == "messageEntityMentionName":
            entity["user_id"] = rng.choice(user_ids)
        out.append(entity)
    return out


def _photo(rng: random.Random) -> dict:
    return {"_": "photo", "id": _i64(rng), "access_hash": _i64(rng), "file_reference": rng.randbytes(25),
            "date": _date(rng), "dc_id": rng.randint(1, 5),
            "sizes": [{"_": "photoStrippedSize", "type": "i", "bytes": rng.randbytes(rng.randint(60, 110))},
                      {"_": "photoSize", "type": "m", "w": 320, "h": 240, "size": rng.randint(9_000, 20_000)},
                      {"_": "photoSizeProgressive", "type": "y", "w": 1280, "h": 960,
                       "sizes": sorted(rng.randint(10_000, 200_000) for _ in range(5))}]}


def _document(rng: random.Random) -> dict:
    kind = rng.choice(["video", "audio", "file"])
    document = {"_": "document", "id": _i64(rng), "access_hash": _i64(rng),
                "file_reference": rng.randbytes(25), "date": _date(rng), "dc_id": rng.randint(1, 5)}
    if kind == "video":
        document |= {"mime_type": "video/mp4", "size": rng.randint(10**5, 10**8),
                     "thumbs": [{"_": "photoSize", "type": "m", "w": 320, "h": 180, "size": rng.randint(5_000, 15_000)}],
                     "attributes": [{"_": "documentAttributeVideo", "supports_streaming": True,
                                     "duration": round(rng.uniform(1, 600), 3), "w": 1280, "h": 720},
                                    {"_": "documentAttributeFilename", "file_name": f"VID_{rng.randint(1, 10**6)}.mp4"}]}
    elif kind == "audio":
        document |= {"mime_type": "audio/ogg", "size": rng.randint(10**4, 10**6),
                     "attributes": [{"_": "documentAttributeAudio", "voice": True, "duration": rng.randint(1, 120),
                                     "waveform": rng.randbytes(63)}]}
    else:
        document |= {"mime_type": "application/pdf", "size": rng.randint(10**4, 10**7),
                     "attributes": [{"_": "documentAttributeFilename",
                                     "file_name": f"{rng.choice(_WORDS)}_{rng.randint(1, 999)}.pdf"}]}
    return document


def _media(rng: random.Random) -> dict:
    kind = rng.random()
    if kind < 0.5:
        return {"_": "messageMediaPhoto", "photo": _photo(rng)}
    if kind < 0.8:
        media = {"_": "messageMediaDocument", "document": _document(rng)}
        if media["document"]["mime_type"].startswith("video"):
            media["video"] = True
        elif media["document"]["mime_type"].startswith("audio"):
            media["voice"] = True
        return media
    name, host = rng.choice(_SITES)
    return {"_": "messageMediaWebPage",
            "webpage": {"_": "webPage", "id": _i64(rng), "url": f"https://{host}/{rng.randint(1, 10**6)}",
                        "display_url": f"{host}/{rng.randint(1, 10**6)}", "hash": _i32(rng), "type": "article",
                        "site_name": name, "title": _text(rng, 2, 6), "description": _text(rng, 6, 20)}}


def _peer(user_ids, chat_ids, channel_ids, rng):
    kind = rng.random()
    if kind < 0.5:
        return {"_": "peerUser", "user_id": rng.choice(user_ids)}
    if kind < 0.7:
        return {"_": "peerChat", "chat_id": rng.choice(chat_ids)}
    return {"_": "peerChannel", "channel_id": rng.choice(channel_ids)}


def _message(rng, msg_id, peer, user_ids, chat_ids, channel_ids, date) -> dict:
    text = _text(rng, 2, 64) if rng.random() < 0.9 else ""
    message = {"_": "message", "id": msg_id, "peer_id": peer, "date": date, "message": text,
               "from_id": {"_": "peerUser", "user_id": rng.choice(user_ids)}}
    if peer["_"] == "peerChannel" and rng.random() < 0.5:
        # A channel post: no sender, views and forwards, sometimes a signature.
        del message["from_id"]
        message["post"] = True
        message["views"] = rng.randint(100, 10**6)
        message["forwards"] = rng.randint(0, 1000)
        if rng.random() < 0.3:
            message["post_author"] = rng.choice(_FIRST)
    message["out"] = rng.random() < 0.3
    if rng.random() < 0.05:
        message["mentioned"] = message["media_unread"] = True
    entities = _entities(rng, text, user_ids)
    if entities:
        message["entities"] = entities
    if rng.random() < 0.3:
        message["media"] = _media(rng)
    if rng.random() < 0.25:
        reply = {"_": "messageReplyHeader", "reply_to_msg_id": max(1, msg_id - rng.randint(1, 50))}
        if rng.random() < 0.2:
            reply["quote"] = True
            reply["quote_text"] = _text(rng, 1, 5)
            reply["quote_offset"] = 0
        message["reply_to"] = reply
    if rng.random() < 0.08:
        message["fwd_from"] = {"_": "messageFwdHeader", "from_id": _peer(user_ids, chat_ids, channel_ids, rng),
                               "date": date - rng.randint(60, 10**6)}
    if rng.random() < 0.1:
        message["edit_date"] = date + rng.randint(10, 3600)
        message["edit_hide"] = rng.random() < 0.3
    if rng.random() < 0.1:
        message["reactions"] = {"_": "messageReactions", "results": [
            {"_": "reactionCount", "reaction": {"_": "reactionEmoji", "emoticon": rng.choice(["👍", "❤", "🔥", "😁"])},
             "count": rng.randint(1, 300)} for _ in range(rng.randint(1, 3))]}
    if peer["_"] == "peerChannel" and rng.random() < 0.1:
        message["replies"] = {"_": "messageReplies", "replies": rng.randint(0, 50), "replies_pts": _i32(rng)}
    if rng.random() < 0.03:
        message["grouped_id"] = _i64(rng)
    return message


def history_page(n_messages: int = 100, n_users: int = 20, n_chats: int = 5, seed: int = 12,
                 standard: bool = False, shape: str = "interned") -> dict:
    """A ``messages.messagesSlice``: a page of history with its users and chats."""
    rng = random.Random(seed)
    user_ids = [rng.randint(10**8, 8 * 10**9) for _ in range(n_users)]
    users = [_user(rng, uid) for uid in user_ids]
    n_groups = max(1, n_chats * 2 // 5)
    chat_ids = [rng.randint(10**8, 2 * 10**9) for _ in range(n_groups)]
    channel_ids = [rng.randint(10**12, 2 * 10**12) for _ in range(max(1, n_chats - n_groups))]
    chats = [_group(rng, cid) for cid in chat_ids]
    chats += [_channel(rng, cid, megagroup=i % 2 == 1) for i, cid in enumerate(channel_ids)]
    chats = chats[:n_chats]
    date = _date(rng)
    first_id = rng.randint(10_000, 900_000)
    messages = []
    for i in range(n_messages):
        date -= rng.randint(5, 900)
        peer = _peer(user_ids, chat_ids, channel_ids, rng)
        messages.append(_message(rng, first_id + n_messages - i, peer, user_ids, chat_ids, channel_ids, date))
    page = {"_": "messages.messagesSlice", "count": n_messages * 37 + rng.randint(0, 99),
            "offset_id_offset": rng.randint(0, 5000), "messages": messages, "topics": [],
            "chats": chats, "users": users}
    return shaped(page, shape, standard)


def small_user(seed: int = 13, standard: bool = False, shape: str = "interned") -> dict:
    """One ``user`` with 11 fields set."""
    rng = random.Random(seed)
    return shaped(_user(rng, rng.randint(10**8, 8 * 10**9), small=True), shape, standard)


def users_page(n: int, seed: int = 14, standard: bool = False) -> dict:
    """A ``contacts.contacts`` of ``n`` users of the ``small_user`` kind."""
    rng = random.Random(seed)
    users = [_user(rng, rng.randint(10**8, 8 * 10**9), small=True) for _ in range(n)]
    return complete({"_": "contacts.contacts", "contacts": [], "saved_count": n, "users": users}, standard)
