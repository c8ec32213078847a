"""The chat workloads: a small hand-written schema of a chat service and
seeded values for it.

``CHAT_SCHEMA`` holds users, chats, messages, media, entities and a few
results. The value builders (``small_object``, ``list_result``, ``payload``,
``chat_history``, ``vector_of``) return dicts that conform to it, built from a
seeded ``random.Random`` so that every run sees byte-for-byte the same values.

The values are built in the exact shape ``TLParser.unpack`` returns: every
non-flags field has a key, an absent conditional field is ``None`` and an
absent conditional ``true`` field is ``False``. All ``int`` fields are kept in
0..2**31-1 and all ``long`` fields in 0..2**63-1, so ``unpack(pack(v)) == v``
holds exactly (``int`` reads back unsigned).

The tests use these values (the threads tests), and so do the benchmarks
(``benchmarks/workloads/chat.py``): they live here because the source
distribution ships the tests but not the benchmarks.
"""

from __future__ import annotations

import random
import string

__all__ = [
    "CHAT_SCHEMA",
    "INT32_MAX",
    "INT64_MAX",
    "WORKLOADS",
    "chat_history",
    "list_result",
    "payload",
    "small_object",
    "split_type",
    "vector_of",
]

INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1


def _signed32(value: int) -> int:
    """The signed 32-bit reading of an unsigned 32-bit id."""
    return value - (1 << 32) if value >= 1 << 31 else value


# ---------------------------------------------------------------------------
# Hand-written chat schema
# ---------------------------------------------------------------------------

def _p(spec: str) -> list[dict]:
    """Parse a compact "name:type name:type ..." parameter list."""
    out = []
    for item in spec.split():
        name, _, type_text = item.partition(":")
        out.append({"name": name, "type": type_text})
    return out


# (predicate, params, type). Ids are derived deterministically below.
_CHAT_CONSTRUCTORS = [
    # Peers
    ("peerUser", "user_id:long", "Peer"),
    ("peerChat", "chat_id:long", "Peer"),
    ("peerChannel", "channel_id:long", "Peer"),
    # Users
    ("userEmpty", "id:long", "User"),
    ("user", "flags:# self:flags.10?true contact:flags.11?true mutual_contact:flags.12?true "
             "deleted:flags.13?true bot:flags.14?true verified:flags.17?true premium:flags.28?true "
             "flags2:# bot_can_edit:flags2.1?true "
             "id:long access_hash:flags.0?long first_name:flags.1?string last_name:flags.2?string "
             "username:flags.3?string phone:flags.4?string photo:flags.5?UserProfilePhoto "
             "status:flags.6?UserStatus bot_info_version:flags.14?int lang_code:flags.22?string "
             "usernames:flags2.0?Vector<Username> color:flags2.8?int", "User"),
    ("username", "flags:# editable:flags.0?true active:flags.1?true username:string", "Username"),
    ("userProfilePhotoEmpty", "", "UserProfilePhoto"),
    ("userProfilePhoto", "flags:# has_video:flags.0?true personal:flags.2?true photo_id:long "
                         "stripped_thumb:flags.1?bytes dc_id:int", "UserProfilePhoto"),
    ("userStatusEmpty", "", "UserStatus"),
    ("userStatusOnline", "expires:int", "UserStatus"),
    ("userStatusOffline", "was_online:int", "UserStatus"),
    ("userStatusRecently", "", "UserStatus"),
    # Chats
    ("chatEmpty", "id:long", "Chat"),
    ("chat", "flags:# creator:flags.0?true left:flags.2?true deactivated:flags.5?true "
             "noforwards:flags.25?true id:long title:string photo:ChatPhoto participants_count:int "
             "date:int version:int", "Chat"),
    ("channel", "flags:# creator:flags.0?true broadcast:flags.5?true verified:flags.7?true "
                "megagroup:flags.8?true id:long access_hash:flags.13?long title:string "
                "username:flags.6?string photo:ChatPhoto date:int "
                "participants_count:flags.17?int", "Chat"),
    ("chatPhotoEmpty", "", "ChatPhoto"),
    ("chatPhoto", "flags:# has_video:flags.0?true photo_id:long stripped_thumb:flags.1?bytes dc_id:int",
     "ChatPhoto"),
    # Messages
    ("messageEmpty", "flags:# id:int peer_id:flags.0?Peer", "Message"),
    ("message", "flags:# out:flags.1?true mentioned:flags.4?true media_unread:flags.5?true "
                "silent:flags.13?true post:flags.14?true pinned:flags.24?true noforwards:flags.26?true "
                "flags2:# offline:flags2.1?true "
                "id:int from_id:flags.8?Peer peer_id:Peer fwd_from:flags.2?MessageFwdHeader "
                "via_bot_id:flags.11?long reply_to:flags.3?MessageReplyHeader date:int message:string "
                "media:flags.9?MessageMedia entities:flags.7?Vector<MessageEntity> views:flags.10?int "
                "forwards:flags.10?int edit_date:flags.15?int post_author:flags.16?string "
                "grouped_id:flags.17?long ttl_period:flags.25?int", "Message"),
    ("messageService", "flags:# out:flags.1?true id:int from_id:flags.8?Peer peer_id:Peer date:int "
                       "action:MessageAction", "Message"),
    ("messageActionChatCreate", "title:string users:Vector<long>", "MessageAction"),
    ("messageActionChatAddUser", "users:Vector<long>", "MessageAction"),
    ("messageActionPinMessage", "", "MessageAction"),
    ("messageFwdHeader", "flags:# imported:flags.7?true from_id:flags.0?Peer from_name:flags.5?string "
                         "date:int channel_post:flags.2?int post_author:flags.3?string", "MessageFwdHeader"),
    ("messageReplyHeader", "flags:# reply_to_scheduled:flags.2?true forum_topic:flags.3?true "
                           "reply_to_msg_id:flags.4?int reply_to_peer_id:flags.0?Peer "
                           "reply_to_top_id:flags.1?int quote_text:flags.6?string", "MessageReplyHeader"),
    # Entities
    ("messageEntityUnknown", "offset:int length:int", "MessageEntity"),
    ("messageEntityMention", "offset:int length:int", "MessageEntity"),
    ("messageEntityHashtag", "offset:int length:int", "MessageEntity"),
    ("messageEntityBold", "offset:int length:int", "MessageEntity"),
    ("messageEntityItalic", "offset:int length:int", "MessageEntity"),
    ("messageEntityCode", "offset:int length:int", "MessageEntity"),
    ("messageEntityPre", "offset:int length:int language:string", "MessageEntity"),
    ("messageEntityUrl", "offset:int length:int", "MessageEntity"),
    ("messageEntityTextUrl", "offset:int length:int url:string", "MessageEntity"),
    ("messageEntityMentionName", "offset:int length:int user_id:long", "MessageEntity"),
    ("messageEntityCustomEmoji", "offset:int length:int document_id:long", "MessageEntity"),
    # Media
    ("messageMediaEmpty", "", "MessageMedia"),
    ("messageMediaPhoto", "flags:# spoiler:flags.3?true photo:flags.0?Photo ttl_seconds:flags.2?int",
     "MessageMedia"),
    ("messageMediaGeo", "geo:GeoPoint", "MessageMedia"),
    ("messageMediaDocument", "flags:# nopremium:flags.3?true spoiler:flags.4?true video:flags.6?true "
                             "document:flags.0?Document ttl_seconds:flags.2?int", "MessageMedia"),
    ("photoEmpty", "id:long", "Photo"),
    ("photo", "flags:# has_stickers:flags.0?true id:long access_hash:long file_reference:bytes date:int "
              "sizes:Vector<PhotoSize> dc_id:int", "Photo"),
    ("photoSizeEmpty", "type:string", "PhotoSize"),
    ("photoSize", "type:string w:int h:int size:int", "PhotoSize"),
    ("photoStrippedSize", "type:string bytes:bytes", "PhotoSize"),
    ("photoSizeProgressive", "type:string w:int h:int sizes:Vector<int>", "PhotoSize"),
    ("document", "flags:# id:long access_hash:long file_reference:bytes date:int mime_type:string "
                 "size:long thumbs:flags.0?Vector<PhotoSize> dc_id:int "
                 "attributes:Vector<DocumentAttribute>", "Document"),
    ("documentAttributeFilename", "file_name:string", "DocumentAttribute"),
    ("documentAttributeImageSize", "w:int h:int", "DocumentAttribute"),
    ("documentAttributeVideo", "flags:# round_message:flags.0?true supports_streaming:flags.1?true "
                               "duration:double w:int h:int", "DocumentAttribute"),
    ("geoPointEmpty", "", "GeoPoint"),
    ("geoPoint", "flags:# long:double lat:double access_hash:long accuracy_radius:flags.0?int", "GeoPoint"),
    # Results
    ("messages.messages", "messages:Vector<Message> chats:Vector<Chat> users:Vector<User>",
     "messages.Messages"),
    ("messages.messagesSlice", "flags:# inexact:flags.1?true count:int next_rate:flags.0?int "
                               "offset_id_offset:flags.2?int messages:Vector<Message> "
                               "chats:Vector<Chat> users:Vector<User>", "messages.Messages"),
    ("contacts.found", "my_results:Vector<Peer> results:Vector<Peer> chats:Vector<Chat> users:Vector<User>",
     "contacts.Found"),
    ("users.usersSlice", "count:int users:Vector<User>", "users.Users"),
    ("storage.fileUnknown", "", "storage.FileType"),
    ("storage.filePartial", "", "storage.FileType"),
    ("storage.fileJpeg", "", "storage.FileType"),
    ("storage.fileMp4", "", "storage.FileType"),
    ("upload.file", "type:storage.FileType mtime:int bytes:bytes", "upload.File"),
    ("authorization", "flags:# current:flags.0?true official_app:flags.1?true "
                      "hash:long device_model:string platform:string system_version:string api_id:int "
                      "app_name:string app_version:string date_created:int date_active:int ip:string "
                      "country:string region:string", "Authorization"),
    ("sessionStats", "session_id:long user_id:long dc_id:int layer:int created:int rtt:double "
                     "device_model:string app_version:string nonce:bytes is_current:Bool "
                     "server_salt:long", "SessionStats"),
]

_CHAT_METHODS = [
    ("messages.getHistory", "peer:InputPeer offset_id:int offset_date:int add_offset:int limit:int "
                            "max_id:int min_id:int hash:long", "messages.Messages"),
    ("messages.sendMessage", "flags:# no_webpage:flags.1?true silent:flags.5?true peer:InputPeer "
                             "reply_to:flags.0?InputReplyTo message:string random_id:long "
                             "entities:flags.3?Vector<MessageEntity> schedule_date:flags.10?int",
     "Updates"),
    ("upload.getFile", "flags:# precise:flags.0?true location:InputFileLocation offset:long limit:int",
     "upload.File"),
]


def _chat_id(name: str) -> int:
    """A stable id derived from the name (not a checksum of any real schema line)."""
    return random.Random("velta-chat:" + name).getrandbits(32)


CHAT_SCHEMA: dict = {
    "constructors": [
        {"id": str(_signed32(_chat_id(name))), "predicate": name, "params": _p(params), "type": type_}
        for name, params, type_ in _CHAT_CONSTRUCTORS
    ],
    "methods": [
        {"id": str(_signed32(_chat_id(name))), "method": name, "params": _p(params), "type": type_}
        for name, params, type_ in _CHAT_METHODS
    ],
}

assert len({e["id"] for e in CHAT_SCHEMA["constructors"] + CHAT_SCHEMA["methods"]}) == len(
    _CHAT_CONSTRUCTORS) + len(_CHAT_METHODS)

_CHAT_ENTRIES: dict[str, list[dict]] = {
    e.get("predicate", e.get("method")): e["params"]
    for e in CHAT_SCHEMA["constructors"] + CHAT_SCHEMA["methods"]
}
_CHAT_TYPES: dict[str, str] = {e["predicate"]: e["type"] for e in CHAT_SCHEMA["constructors"]}


def _split_type(type_text: str) -> tuple[str | None, str]:
    """("flags.3", "int") for "flags.3?int"; (None, "int") for "int"."""
    if "?" in type_text:
        cond, _, rest = type_text.partition("?")
        return cond, rest
    return None, type_text


def _obj(name: str, **fields) -> dict:
    """A value of constructor ``name`` in canonical (unpack-shaped) form.

    Unconditional fields must be given. Conditional fields not given are
    filled in as absent: False for ``true``/``Bool`` flags, None otherwise.
    """
    params = _CHAT_ENTRIES[name]
    value: dict = {"_": name}
    known = set()
    for param in params:
        pname = param["name"]
        known.add(pname)
        if pname in ("flags", "flags2"):
            continue
        cond, base = _split_type(param["type"])
        if pname in fields:
            value[pname] = fields[pname]
        elif cond is not None:
            value[pname] = False if base in ("true", "Bool") else None
        else:
            raise TypeError(f"{name}: missing unconditional field {pname!r}")
    unknown = set(fields) - known
    if unknown:
        raise TypeError(f"{name}: unknown fields {sorted(unknown)}")
    return value


# ---------------------------------------------------------------------------
# Value generation helpers
# ---------------------------------------------------------------------------

_FIRST_NAMES = ["Alice", "Bob", "Carol", "Dmitri", "Eve", "Farid", "Grace", "Hiro", "Ingrid",
                "Jamal", "Kateryna", "Liu", "María", "Nour", "Olga", "Pedro", "Quinn", "Ravi",
                "Søren", "Tomás", "Uma", "Viktor", "Wen", "Ximena", "Yusuf", "Zoë"]
_LAST_NAMES = ["Anders", "Baker", "Chen", "Dubois", "Eriksen", "Fischer", "García", "Hoffmann",
               "Ivanova", "Jensen", "Kowalski", "Larsen", "Müller", "Nakamura", "O'Brien", "Petrov"]
_TEXT_WORDS = ("the a to of and in is it you that for on was with as have be at one this "
               "meeting tomorrow release build deploy coffee lunch ticket review merge branch "
               "schema parser buffer vector flags message photo video link thanks please "
               "ok sure great done later maybe weekend deadline").split()
_EXTRA_TEXT = ["привет", "спасибо", "こんにちは", "😀", "👍", "🎉", "ñandú", "straße", "日本語", "😂🔥"]
_COUNTRIES = [("Germany", "BY"), ("Spain", "MD"), ("Brazil", "SP"), ("India", "KA"), ("Japan", "13")]
_PLATFORMS = [("Pixel 8", "Android", "SDK 34"), ("iPhone 15", "iOS", "17.4"),
              ("Desktop", "Linux", "6.8"), ("MacBook Air", "macOS", "14.4"), ("Chrome 124", "Web", "Windows 11")]


def _int32(rng: random.Random, lo: int = 0, hi: int = INT32_MAX) -> int:
    return rng.randint(lo, hi)


def _int64(rng: random.Random) -> int:
    return rng.randint(1 << 32, INT64_MAX)


def _words(rng: random.Random, lo: int, hi: int) -> str:
    n = rng.randint(lo, hi)
    parts = [rng.choice(_TEXT_WORDS) if rng.random() > 0.06 else rng.choice(_EXTRA_TEXT) for _ in range(n)]
    return " ".join(parts)


def _username(rng: random.Random) -> str:
    return "".join(rng.choice(string.ascii_lowercase) for _ in range(rng.randint(5, 12))) + str(rng.randint(0, 999))


def _date(rng: random.Random) -> int:
    return rng.randint(1_600_000_000, 1_760_000_000)


def _user(rng: random.Random, user_id: int | None = None, *, rich: bool = True) -> dict:
    uid = user_id if user_id is not None else rng.randint(10_000, 8_000_000_000)
    fields: dict = {"id": uid}
    if rng.random() < 0.02:
        return _obj("userEmpty", id=uid)
    fields["access_hash"] = _int64(rng)
    fields["first_name"] = rng.choice(_FIRST_NAMES)
    if rng.random() < 0.7:
        fields["last_name"] = rng.choice(_LAST_NAMES)
    if rng.random() < 0.6:
        fields["username"] = _username(rng)
    if rng.random() < 0.3:
        fields["phone"] = "".join(rng.choice(string.digits) for _ in range(11))
    if rich and rng.random() < 0.8:
        photo = {"photo_id": _int64(rng), "dc_id": rng.randint(1, 5)}
        if rng.random() < 0.7:
            photo["stripped_thumb"] = rng.randbytes(rng.randint(80, 240))
        if rng.random() < 0.1:
            photo["has_video"] = True
        fields["photo"] = _obj("userProfilePhoto", **photo)
    if rng.random() < 0.85:
        r = rng.random()
        if r < 0.3:
            fields["status"] = _obj("userStatusOnline", expires=_date(rng))
        elif r < 0.8:
            fields["status"] = _obj("userStatusOffline", was_online=_date(rng))
        else:
            fields["status"] = _obj("userStatusRecently")
    if rng.random() < 0.15:
        fields["bot"] = True
        fields["bot_info_version"] = rng.randint(1, 40)
    for flag, p in (("contact", 0.3), ("mutual_contact", 0.15), ("verified", 0.05), ("premium", 0.2)):
        if rng.random() < p:
            fields[flag] = True
    if rng.random() < 0.5:
        fields["lang_code"] = rng.choice(["en", "de", "es", "pt-br", "ru", "ja"])
    if rich and rng.random() < 0.2:
        fields["usernames"] = [
            _obj("username", username=_username(rng), active=rng.random() < 0.8, editable=i == 0)
            for i in range(rng.randint(1, 3))
        ]
    if rng.random() < 0.25:
        fields["color"] = rng.randint(0, 20)
    return _obj("user", **fields)


def _chat_photo(rng: random.Random) -> dict:
    if rng.random() < 0.15:
        return _obj("chatPhotoEmpty")
    return _obj("chatPhoto", photo_id=_int64(rng), dc_id=rng.randint(1, 5),
                stripped_thumb=rng.randbytes(rng.randint(100, 300)) if rng.random() < 0.6 else None)


def _chat(rng: random.Random, chat_id: int) -> dict:
    if rng.random() < 0.5:
        return _obj("chat", id=chat_id, title=_words(rng, 1, 4).title(), photo=_chat_photo(rng),
                    participants_count=rng.randint(2, 200), date=_date(rng), version=rng.randint(1, 50),
                    creator=rng.random() < 0.2, noforwards=rng.random() < 0.05)
    megagroup = rng.random() < 0.7
    return _obj("channel", id=chat_id, access_hash=_int64(rng), title=_words(rng, 1, 5).title(),
                username=_username(rng) if rng.random() < 0.5 else None, photo=_chat_photo(rng),
                date=_date(rng), megagroup=megagroup, broadcast=not megagroup,
                verified=rng.random() < 0.05,
                participants_count=rng.randint(10, 2_000_000) if rng.random() < 0.6 else None)


def _peer(rng: random.Random, user_ids: list[int], chat_ids: list[int]) -> dict:
    if chat_ids and rng.random() < 0.4:
        cid = rng.choice(chat_ids)
        return _obj("peerChat", chat_id=cid) if rng.random() < 0.5 else _obj("peerChannel", channel_id=cid)
    return _obj("peerUser", user_id=rng.choice(user_ids))


def _entities(rng: random.Random, text_len: int, user_ids: list[int]) -> list[dict]:
    out = []
    for _ in range(rng.randint(1, 6)):
        offset = rng.randint(0, max(0, text_len - 1))
        length = rng.randint(1, max(1, min(30, text_len - offset)))
        kind = rng.choice(["bold", "italic", "code", "url", "textUrl", "mention", "mentionName",
                           "pre", "hashtag", "customEmoji"])
        if kind == "textUrl":
            out.append(_obj("messageEntityTextUrl", offset=offset, length=length,
                            url=f"https://example.org/{_username(rng)}?ref={rng.randint(0, 99999)}"))
        elif kind == "mentionName":
            out.append(_obj("messageEntityMentionName", offset=offset, length=length,
                            user_id=rng.choice(user_ids)))
        elif kind == "pre":
            out.append(_obj("messageEntityPre", offset=offset, length=length,
                            language=rng.choice(["", "python", "cpp", "json"])))
        elif kind == "customEmoji":
            out.append(_obj("messageEntityCustomEmoji", offset=offset, length=length, document_id=_int64(rng)))
        else:
            name = "messageEntity" + kind[0].upper() + kind[1:]
            out.append(_obj(name, offset=offset, length=length))
    return out


def _photo_sizes(rng: random.Random) -> list[dict]:
    sizes = [_obj("photoStrippedSize", type="i", bytes=rng.randbytes(rng.randint(100, 400)))]
    w, h = rng.choice([(1280, 960), (960, 1280), (1280, 720), (800, 800)])
    for letter, scale in (("m", 320), ("x", 800), ("y", 1280)):
        f = scale / max(w, h)
        sizes.append(_obj("photoSize", type=letter, w=int(w * f), h=int(h * f), size=rng.randint(5_000, 300_000)))
    if rng.random() < 0.3:
        sizes.append(_obj("photoSizeProgressive", type="w", w=w, h=h,
                          sizes=sorted(rng.randint(1_000, 500_000) for _ in range(5))))
    return sizes


def _media(rng: random.Random) -> dict:
    r = rng.random()
    if r < 0.55:
        photo = _obj("photo", id=_int64(rng), access_hash=_int64(rng), file_reference=rng.randbytes(30),
                     date=_date(rng), sizes=_photo_sizes(rng), dc_id=rng.randint(1, 5),
                     has_stickers=rng.random() < 0.05)
        return _obj("messageMediaPhoto", photo=photo, spoiler=rng.random() < 0.05,
                    ttl_seconds=rng.choice([None, None, None, 30]))
    if r < 0.85:
        attrs = [_obj("documentAttributeFilename", file_name=_username(rng) + rng.choice([".pdf", ".mp4", ".zip"]))]
        video = rng.random() < 0.5
        if video:
            attrs.append(_obj("documentAttributeVideo", duration=round(rng.uniform(1, 600), 3),
                              w=rng.choice([640, 1280, 1920]), h=rng.choice([360, 720, 1080]),
                              supports_streaming=True, round_message=rng.random() < 0.1))
        doc = _obj("document", id=_int64(rng), access_hash=_int64(rng), file_reference=rng.randbytes(30),
                   date=_date(rng), mime_type=rng.choice(["application/pdf", "video/mp4", "application/zip"]),
                   size=rng.randint(1_000, 2_000_000_000), dc_id=rng.randint(1, 5), attributes=attrs,
                   thumbs=_photo_sizes(rng)[:2] if rng.random() < 0.6 else None)
        return _obj("messageMediaDocument", document=doc, video=video, spoiler=rng.random() < 0.03)
    geo = _obj("geoPoint", long=rng.uniform(-180, 180), lat=rng.uniform(-90, 90), access_hash=_int64(rng),
               accuracy_radius=rng.randint(1, 500) if rng.random() < 0.5 else None)
    return _obj("messageMediaGeo", geo=geo)


def _message(rng: random.Random, msg_id: int, peer: dict, user_ids: list[int], chat_ids: list[int]) -> dict:
    date = _date(rng)
    if rng.random() < 0.05:
        action = rng.choice([
            _obj("messageActionPinMessage"),
            _obj("messageActionChatAddUser", users=rng.sample(user_ids, min(len(user_ids), rng.randint(1, 3)))),
            _obj("messageActionChatCreate", title=_words(rng, 1, 3), users=list(user_ids[:5])),
        ])
        return _obj("messageService", id=msg_id, from_id=_obj("peerUser", user_id=rng.choice(user_ids)),
                    peer_id=peer, date=date, action=action, out=rng.random() < 0.3)
    text = _words(rng, 0 if rng.random() < 0.1 else 1, rng.choice([8, 20, 60]))
    fields: dict = {
        "id": msg_id,
        "peer_id": peer,
        "from_id": _obj("peerUser", user_id=rng.choice(user_ids)),
        "date": date,
        "message": text,
        "out": rng.random() < 0.3,
    }
    # Every message in this page carries entities, media and a reply header,
    # which is what makes chat history the heaviest of the workloads.
    fields["entities"] = _entities(rng, len(text), user_ids)
    fields["media"] = _media(rng)
    reply: dict = {"reply_to_msg_id": rng.randint(1, max(1, msg_id - 1))}
    if rng.random() < 0.2:
        reply["reply_to_peer_id"] = _peer(rng, user_ids, chat_ids)
    if rng.random() < 0.2:
        reply["reply_to_top_id"] = rng.randint(1, max(1, msg_id - 1))
        reply["forum_topic"] = True
    if rng.random() < 0.1:
        reply["quote_text"] = _words(rng, 2, 8)
    fields["reply_to"] = _obj("messageReplyHeader", **reply)
    if rng.random() < 0.1:
        fields["fwd_from"] = _obj("messageFwdHeader", from_id=_obj("peerUser", user_id=rng.choice(user_ids)),
                                  date=date - rng.randint(60, 10_000_000),
                                  from_name=rng.choice(_FIRST_NAMES) if rng.random() < 0.3 else None)
    if peer["_"] == "peerChannel" and rng.random() < 0.5:
        fields["views"] = rng.randint(0, 500_000)
        fields["forwards"] = rng.randint(0, 5_000)
        fields["post"] = True
    if rng.random() < 0.1:
        fields["edit_date"] = date + rng.randint(10, 3600)
    if rng.random() < 0.05:
        fields["grouped_id"] = _int64(rng)
    for flag, p in (("mentioned", 0.05), ("silent", 0.05), ("pinned", 0.02), ("offline", 0.02)):
        if rng.random() < p:
            fields[flag] = True
    return _obj("message", **fields)


# ---------------------------------------------------------------------------
# Workloads
# ---------------------------------------------------------------------------

def small_object(seed: int = 1) -> dict:
    """One flat object of 11 scalar fields: int, long, double, string, bytes, Bool."""
    rng = random.Random(seed)
    return _obj(
        "sessionStats",
        session_id=_int64(rng),
        user_id=rng.randint(10_000, 8_000_000_000),
        dc_id=2,
        layer=rng.randint(150, 190),
        created=_date(rng),
        rtt=0.0425,
        device_model="Pixel 8 Pro",
        app_version="10.14.5 (4712)",
        nonce=rng.randbytes(16),
        is_current=True,
        server_salt=_int64(rng),
    )


def list_result(n: int = 100, seed: int = 2) -> dict:
    """A ``users.usersSlice`` of n users: flags, strings, nested objects, vectors."""
    rng = random.Random(seed)
    users = [_user(rng, 1_000_000 + i * 7919) for i in range(n)]
    return _obj("users.usersSlice", count=n * 3 + 17, users=users)


def payload(size: int = 1 << 20, seed: int = 3) -> dict:
    """An ``upload.file`` holding one ``size``-byte bytes field (1 MiB by default)."""
    rng = random.Random(seed)
    return _obj("upload.file", type=_obj("storage.filePartial"), mtime=_date(rng), bytes=rng.randbytes(size))


def chat_history(n: int = 100, seed: int = 4) -> dict:
    """A ``messages.messagesSlice`` page of n messages plus their users and chats.

    Every message has a sender (``from_id``), a peer, a vector of entities,
    a media object and a reply header.
    """
    rng = random.Random(seed)
    n_users = max(2, n // 4)
    n_chats = max(1, n // 20)
    user_ids = [rng.randint(10_000, 8_000_000_000) for _ in range(n_users)]
    chat_ids = [rng.randint(1_000_000, 2_000_000_000) for _ in range(n_chats)]
    peer = _obj("peerChannel", channel_id=chat_ids[0])
    top_id = rng.randint(10_000, 2_000_000)
    messages = [_message(rng, top_id - i, peer, user_ids, chat_ids) for i in range(n)]
    users = [_user(rng, uid) for uid in user_ids]
    chats = [_chat(rng, cid) for cid in chat_ids]
    return _obj("messages.messagesSlice", count=n * 25, inexact=False, next_rate=None,
                offset_id_offset=rng.randint(0, 1000), messages=messages, chats=chats, users=users)


def vector_of(n: int, seed: int = 5) -> dict:
    """A ``contacts.found`` whose ``results`` is a vector of n small peer objects."""
    rng = random.Random(seed)
    results = []
    for i in range(n):
        kind = rng.random()
        if kind < 0.6:
            results.append(_obj("peerUser", user_id=1_000_000 + i))
        elif kind < 0.8:
            results.append(_obj("peerChat", chat_id=2_000_000 + i))
        else:
            results.append(_obj("peerChannel", channel_id=3_000_000 + i))
    return _obj("contacts.found", my_results=[], results=results, chats=[], users=[])


#: name -> zero-argument builder, in the order the benchmarks report them.
WORKLOADS = {
    "small_object": small_object,
    "list_result": list_result,
    "payload_1MiB": payload,
    "chat_history": chat_history,
}


def split_type(type_text: str) -> tuple[str | None, str]:
    """("flags.3", "int") for "flags.3?int"; (None, "int") for "int"."""
    return _split_type(type_text)
