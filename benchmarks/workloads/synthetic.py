"""A large synthetic schema, for compile-time measurements and the fuzzer.

``generate_schema()`` builds thousands of constructors and methods in the JSON
shape that ``TLSchemaCompiler().compile`` accepts, from a seeded
``random.Random``: two runs (or two machines) see byte-for-byte the same
schema. Its values are never packed.
"""

from __future__ import annotations

import random

__all__ = ["generate_schema"]

VECTOR_ID = 0x1CB5C415


def _signed32(value: int) -> int:
    """The signed 32-bit reading of an unsigned 32-bit id."""
    return value - (1 << 32) if value >= 1 << 31 else value


_NAMESPACES = [
    "", "", "", "", "",  # most entries live in the root namespace
    "messages", "account", "channels", "users", "contacts", "help", "photos",
    "upload", "updates", "stories", "payments", "auth", "bots", "phone",
    "stats", "langpack", "folders", "premium", "chatlists", "storage",
]

_WORDS = [
    "account", "action", "admin", "album", "answer", "app", "attach", "auth",
    "author", "background", "ban", "birthday", "boost", "bot", "button",
    "call", "caption", "channel", "chat", "code", "color", "config", "contact",
    "country", "dialog", "dice", "document", "draft", "emoji", "entity",
    "event", "file", "filter", "folder", "forum", "game", "geo", "gift",
    "group", "hash", "history", "import", "info", "inline", "invite",
    "invoice", "keyboard", "label", "language", "link", "location", "login",
    "markup", "media", "member", "message", "mention", "notify", "option",
    "order", "page", "participant", "password", "payment", "peer", "phone",
    "photo", "pinned", "poll", "premium", "privacy", "profile", "quick",
    "reaction", "read", "reply", "report", "result", "rule", "saved", "search",
    "secure", "session", "setting", "size", "slice", "sponsored", "star",
    "status", "sticker", "story", "theme", "thumb", "topic", "transcription",
    "update", "upload", "url", "user", "username", "video", "view",
    "voice", "wallpaper", "web", "widget",
]

_SUFFIXES = [
    "", "Empty", "Slice", "NotModified", "Full", "Default", "Custom", "Legacy",
    "Pending", "Short", "Forbidden", "Requested", "Active", "Big", "Small",
]

_VERBS = [
    "get", "set", "send", "edit", "delete", "update", "check", "toggle",
    "report", "upload", "save", "reorder", "search", "export", "import",
    "read", "join", "leave", "invite", "install", "reset", "create",
    "resolve", "request", "accept", "decline", "confirm", "clear", "mark",
    "apply", "hide", "pin", "unpin", "start", "reorder", "migrate",
]

_FIELD_WORDS = [
    "id", "access_hash", "date", "title", "about", "hash", "user_id",
    "chat_id", "channel_id", "peer", "offset", "limit", "count", "random_id",
    "message", "entities", "media", "reply_to", "from_id", "text", "url",
    "photo", "document", "emoticon", "slug", "query", "filter", "folder_id",
    "top_msg_id", "pts", "pts_count", "qts", "seq", "expires", "version",
    "file_reference", "thumb", "duration", "w", "h", "size", "mime_type",
    "dc_id", "phone", "first_name", "last_name", "username", "lang_code",
    "period", "reason", "color", "background_emoji_id", "min_id", "max_id",
    "add_offset", "offset_date", "schedule_date", "ttl_period", "views",
    "forwards", "order", "value", "data", "payload", "bytes", "caption",
    "link", "option", "options", "results", "participants", "admins",
    "stickers", "users", "chats", "messages", "updates", "nonce", "secret",
]

_FLAG_FIELD_WORDS = [
    "pinned", "silent", "noforwards", "background", "clear_draft", "hidden",
    "unread", "muted", "verified", "restricted", "scam", "fake", "premium",
    "bot", "contact", "mutual_contact", "deleted", "min", "support",
    "creator", "left", "broadcast", "megagroup", "signatures", "gigagroup",
    "join_request", "forum", "stories_hidden", "has_link", "has_geo",
    "slowmode_enabled", "call_active", "call_not_empty", "edit_hide",
    "out", "mentioned", "media_unread", "post", "legacy", "from_scheduled",
    "invert_media", "offline", "spoiler", "nosound", "round_message",
    "video_note", "inexact", "exclude_pinned", "popup", "update_stickersets",
]

_SCALARS = ["int", "long", "string", "bytes", "double", "Bool"]
_SCALAR_WEIGHTS = [30, 22, 18, 6, 3, 6]
_VECTOR_SCALARS = ["long", "int", "string", "bytes"]

# Types that appear as result types and as the types of nested fields in
# every generated schema, whatever its size.
_CORE_TYPES = [
    "Peer", "InputPeer", "User", "InputUser", "Chat", "InputChannel",
    "Message", "MessageMedia", "MessageEntity", "Photo", "PhotoSize",
    "Document", "DocumentAttribute", "Updates", "Update", "ChatPhoto",
    "UserStatus", "PeerNotifySettings", "Reaction", "InputFile",
]


def _camel(words: list[str]) -> str:
    """Join words into lowerCamelCase (underscores inside words are dropped)."""
    parts = [p for w in words for p in w.split("_") if p]
    return parts[0] + "".join(p[:1].upper() + p[1:] for p in parts[1:])


def _qualify(ns: str, name: str) -> str:
    return f"{ns}.{name}" if ns else name


def _unique_id(rng: random.Random, used: set[int]) -> int:
    while True:
        value = rng.getrandbits(32)
        if value not in used and value not in (VECTOR_ID, 0):
            used.add(value)
            return value


def _gen_params(rng: random.Random, types: list[str], *, method: bool) -> list[dict]:
    """A realistic parameter list of 0 to 15 entries."""
    n = rng.choices(range(16), weights=[6, 10, 12, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 3, 2, 2])[0]
    if n == 0:
        return []
    # About half of the non-trivial entries carry a flags word; a tenth of
    # those also carry a second one.
    has_flags = n >= 2 and rng.random() < 0.55
    has_flags2 = has_flags and n >= 6 and rng.random() < 0.18
    params: list[dict] = []
    used_names: set[str] = set()
    free_bits = {"flags": list(range(32)), "flags2": list(range(32))}
    for word in ("flags", "flags2"):
        rng.shuffle(free_bits[word])
        free_bits[word].sort(key=lambda b: b + rng.random() * 8)  # mostly low bits first

    def fresh_name(pool: list[str]) -> str:
        for _ in range(20):
            name = rng.choice(pool)
            if name not in used_names:
                used_names.add(name)
                return name
        base = rng.choice(pool)
        i = 2
        while f"{base}{i}" in used_names:
            i += 1
        used_names.add(f"{base}{i}")
        return f"{base}{i}"

    def value_type() -> str:
        r = rng.random()
        if r < 0.55:
            return rng.choices(_SCALARS, weights=_SCALAR_WEIGHTS)[0]
        if r < 0.72:
            # Vectors: of scalars (mostly long ids) or of objects.
            if rng.random() < 0.55:
                return f"Vector<{rng.choice(_VECTOR_SCALARS)}>"
            return f"Vector<{rng.choice(types)}>"
        if r < 0.985:
            return rng.choice(types)
        return rng.choice(["int128", "int256"])

    if has_flags:
        params.append({"name": "flags", "type": "#"})
        used_names.add("flags")
    flags2_at = rng.randint(len(params) + 1, max(len(params) + 1, n - 2)) if has_flags2 else -1
    while len(params) < n:
        if len(params) == flags2_at:
            params.append({"name": "flags2", "type": "#"})
            used_names.add("flags2")
            continue
        words = ["flags"] + (["flags2"] if has_flags2 and flags2_at < len(params) else [])
        if has_flags and rng.random() < 0.6:
            word = rng.choice(words)
            bit = free_bits[word].pop(0) if free_bits[word] else rng.randrange(32)
            if rng.random() < 0.45:
                params.append({"name": fresh_name(_FLAG_FIELD_WORDS), "type": f"{word}.{bit}?true"})
            else:
                params.append({"name": fresh_name(_FIELD_WORDS), "type": f"{word}.{bit}?{value_type()}"})
        else:
            params.append({"name": fresh_name(_FIELD_WORDS), "type": value_type()})
    if method and len(params) < 15 and rng.random() < 0.02:
        # A wrapper method in the style of invokeWithLayer: a generic query.
        params.append({"name": "query", "type": "!X"})
    return params


def generate_schema(n_constructors: int = 2000, n_methods: int = 800, seed: int = 0) -> dict:
    """A large, realistic synthetic schema.

    Constructors are grouped under result types (1 to 6 constructors a type,
    named after the type with a suffix such as "Empty" or "Slice"); methods
    are verb-noun names returning one of the types. Parameters mix flags and
    flags2 words, conditional fields (``flags.N?T`` and ``flags.N?true``),
    vectors of scalars and of objects, and nested object types. Ids are
    unique across the whole schema and are given as signed 32-bit decimal
    text; names are unique too.
    """
    rng = random.Random(seed)
    used_ids: set[int] = set()
    used_names: set[str] = set()

    # Result types: the core ones first, then generated ones until there are
    # enough for about 2.2 constructors a type.
    n_types = max(len(_CORE_TYPES), n_constructors * 10 // 22)
    types: list[str] = list(_CORE_TYPES)
    type_set = set(types)
    while len(types) < n_types:
        ns = rng.choice(_NAMESPACES)
        words = rng.sample(_WORDS, rng.choice([1, 2, 2, 3]))
        name = _camel(words)
        qualified = _qualify(ns, name[0].upper() + name[1:])
        if qualified not in type_set:
            type_set.add(qualified)
            types.append(qualified)

    constructors: list[dict] = []
    # Every type gets at least one constructor; the rest are spread at random.
    owners = list(types[:n_constructors]) + [rng.choice(types) for _ in range(n_constructors - min(n_constructors, len(types)))]
    rng.shuffle(owners)
    for type_name in owners:
        ns, _, base = type_name.rpartition(".")
        stem = base[0].lower() + base[1:]
        for attempt in range(100):
            suffix = "" if attempt == 0 else rng.choice(_SUFFIXES[1:]) if attempt < 20 else f"V{attempt}"
            predicate = _qualify(ns, stem + suffix)
            if predicate not in used_names:
                break
        used_names.add(predicate)
        constructors.append({
            "id": str(_signed32(_unique_id(rng, used_ids))),
            "predicate": predicate,
            "params": _gen_params(rng, types, method=False),
            "type": type_name,
        })

    methods: list[dict] = []
    nouns = _WORDS + [w + "s" for w in _WORDS]
    for _ in range(n_methods):
        for attempt in range(100):
            ns = rng.choice(_NAMESPACES[5:])
            words = [rng.choice(_VERBS)] + rng.sample(nouns, rng.choice([1, 1, 2, 2, 3]))
            name = _qualify(ns, _camel(words))
            if attempt >= 50:
                name += str(attempt)
            if name not in used_names:
                break
        used_names.add(name)
        r = rng.random()
        if r < 0.3:
            result = "Updates"
        elif r < 0.45:
            result = "Bool"
        elif r < 0.55:
            result = f"Vector<{rng.choice(types)}>"
        else:
            result = rng.choice(types)
        params = _gen_params(rng, types, method=True)
        if any(p["type"] == "!X" for p in params):
            result = "X"
        methods.append({
            "id": str(_signed32(_unique_id(rng, used_ids))),
            "method": name,
            "params": params,
            "type": result,
        })

    return {"constructors": constructors, "methods": methods}
