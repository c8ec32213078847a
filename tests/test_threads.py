"""Parsers under threads. Every call keeps its own state, so separate parsers
and one parser shared by many threads at once give exact results, never
output mixed from two calls; a value that another thread changes while it is
being packed gives the bytes of one of the states it went through, or a clean
exception."""
import copy
import os
import subprocess
import sys
import sysconfig
import threading
import time
from fractions import Fraction

import pytest

from Velta.tl import TLParser

import chat_values

SCHEMA = {"constructors": [{"predicate": "item", "id": 0x17E3, "type": "Item", "params": [
    {"name": "flags", "type": "#"}, {"name": "n", "type": "int"}, {"name": "d", "type": "double"},
    {"name": "tag", "type": "string"}, {"name": "data", "type": "bytes"},
    {"name": "kids", "type": "Vector<Item>"}, {"name": "next", "type": "flags.0?Item"}]}]}


class Slow(dict):  # field reads run Python code, where the interpreter switches threads
    def get(self, *args):
        return dict.get(self, *args)

    def __getitem__(self, key):
        return dict.__getitem__(self, key)


def slowed(value):
    """The same value with every object a Slow dict (lists stay lists)."""
    if isinstance(value, dict):
        return Slow({k: slowed(v) for k, v in value.items()})
    if isinstance(value, list):
        return [slowed(v) for v in value]
    return value


def item(seed, depth, slow):
    kids = (item(seed * 3 + k, depth - 1, slow) for k in range(2 if depth else 0))
    value = {"_": "item", "n": Fraction(seed) if slow else seed,  # Fraction: __int__ and
             "d": Fraction(seed, 4) if slow else seed / 4,  # __float__ are Python code
             "tag": f"{seed}-" * (seed % 9), "data": bytes([seed % 256]) * (seed % 300),
             "kids": kids if slow else list(kids)}
    if depth > 1:
        value["next"] = item(seed + 1, depth - 2, slow)
    return Slow(value) if slow else value


CASES, ROUNDS = [(seed, depth) for seed in range(1, 40) for depth in (1, 3)], 20
CALLS = 2 * ROUNDS * len(CASES)  # per thread: a pack and an unpack of each case, ROUNDS times
WIRE = {case: TLParser(SCHEMA).pack(item(*case, slow=False)) for case in CASES}
DECODED = {case: TLParser(SCHEMA).unpack(wire) for case, wire in WIRE.items()}


def start_together(work, count):
    """Runs work(index) on `count` threads started at once, with the
    interpreter switching threads as often as it can."""
    barrier = threading.Barrier(count)
    errors = []

    def run(index):
        barrier.wait()
        try:
            work(index)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            errors.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    if errors:
        raise errors[0]


def run_threads(parsers):
    results = [{"ok": 0, "wrong": 0, "error": 0} for _ in parsers]

    def work(index):
        parser, result = parsers[index](), results[index]
        for _ in range(ROUNDS):
            for case in CASES:
                for call, arg, want in ((parser.pack, item(*case, slow=True), WIRE[case]),
                                        (parser.unpack, WIRE[case], DECODED[case])):
                    try:
                        got = call(arg)
                    except Exception:
                        result["error"] += 1
                        continue
                    result["ok" if got == want else "wrong"] += 1

    start_together(work, len(parsers))
    return results


def test_separate_parsers_in_threads_give_exact_results():
    results = run_threads([lambda: TLParser(SCHEMA)] * 4)
    assert results == [{"ok": CALLS, "wrong": 0, "error": 0}] * 4


def test_shared_parser_switching_threads_mid_call_gives_exact_results():
    shared = TLParser(SCHEMA)
    results = run_threads([lambda: shared] * 2)
    assert results == [{"ok": CALLS, "wrong": 0, "error": 0}] * 2
    assert shared.unpack(shared.pack(item(7, 3, slow=True))) == DECODED[7, 3]


# --- Free-threaded builds ---------------------------------------------------

free_threaded = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                   reason="needs a free-threaded build")


@free_threaded
def test_importing_the_module_leaves_the_gil_off():
    # A module that does not declare itself safe without the GIL turns it on
    # for the whole process when imported, with a RuntimeWarning.
    code = "import sys; from Velta import tl; tl.TLParser({}).pack; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON_GIL", "PYTHONWARNINGS")}
    child = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                           env=env, capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout.strip()) == (0, "False"), child.stderr


@free_threaded
@pytest.mark.skipif("PYTHON_GIL" in os.environ or "gil" in sys._xoptions, reason="the GIL is set by hand")
def test_the_suite_runs_without_the_gil():
    assert not sys._is_gil_enabled(), "something imported in this run turned the GIL on"


# --- Real-size messages ------------------------------------------------------

SCHEMAS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "..", "shared", "schemas")


class ValueMaker:
    """Values of any type of a schema (the JSON form), from a seeded random
    source, for schemas too large to write values for by hand."""

    SCALARS = {"int": lambda r: r.randrange(2**31), "long": lambda r: r.randrange(2**63),
               "double": lambda r: r.random() * 1e6, "Bool": lambda r: r.random() < 0.5,
               "string": lambda r: "".join(r.choice("abé日 ") for _ in range(r.randrange(40))),
               "bytes": lambda r: r.randbytes(r.choice([0, 5, 300]))}

    def __init__(self, schema, seed):
        import random
        self.rng = random.Random(seed)
        self.by_type = {}
        for c in schema["constructors"]:
            self.by_type.setdefault(c["type"], []).append(c)

    def of_type(self, type_text, depth):
        if type_text in self.SCALARS:
            return self.SCALARS[type_text](self.rng)
        if type_text.startswith("Vector<"):
            return [self.of_type(type_text[7:-1], depth + 1) for _ in range(self.rng.randrange(4 if depth < 4 else 1))]
        candidates = self.by_type.get(type_text)
        if not candidates or depth > 6:
            raise LookupError(type_text)
        for c in self.rng.sample(candidates, len(candidates)):
            try:
                return self.of_constructor(c, depth + 1)
            except LookupError:
                continue
        raise LookupError(type_text)

    def of_constructor(self, c, depth=0, **given):
        value, present = {"_": c["predicate"]}, {}
        for param in c["params"]:
            name, type_text = param["name"], param["type"]
            if type_text == "#" or name in given:
                continue
            if "?" in type_text:
                # fields on one bit come and go together
                condition, type_text = type_text.split("?", 1)
                if condition not in present:
                    present[condition] = self.rng.random() > 0.5 + depth / 10
                if type_text == "true":
                    value[name] = present[condition]
                elif present[condition]:
                    value[name] = self.of_type(type_text, depth)
                continue
            value[name] = self.of_type(type_text, depth)
        return value | given


def api_messages():
    """Pages of messages of a real API schema, when the schema is at hand."""
    path = os.path.join(SCHEMAS, "api.tl")
    if not os.path.exists(path):
        pytest.skip("needs ../shared/schemas/api.tl")
    import warnings
    from Velta.schema import from_tl
    with open(path, encoding="utf-8") as f, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        schema = from_tl(f.read())
    pages = []
    for seed in range(4):
        make = ValueMaker(schema, seed)
        page = next(c for c in schema["constructors"] if c["predicate"] == "messages.messages")

        def many(type_name, count):
            out = []
            while len(out) < count:
                try:
                    out.append(make.of_type(type_name, 1))
                except LookupError:
                    pass
            return out
        pages.append(make.of_constructor(page, messages=many("Message", 40), chats=many("Chat", 6),
                                         users=many("User", 15)))
    return schema, pages


def chat_messages():
    messages = [chat_values.chat_history(n, seed=n) for n in (6, 10, 16, 24)]
    return chat_values.CHAT_SCHEMA, messages + [chat_values.list_result(12), chat_values.small_object()]


@pytest.mark.parametrize("source", [chat_messages, api_messages], ids=["chat-workloads", "api-schema"])
def test_one_parser_shared_by_four_threads_round_trips_real_messages(source):
    # A few seconds of four threads packing and unpacking real-size messages
    # (4 to 30 KB each) through one parser; on a free-threaded build they run
    # at the same time.
    schema, values = source()
    reference = TLParser(schema)
    # what unpack gives back (absent fields filled in) is what is compared
    messages = [reference.unpack(reference.pack(v)) for v in values]
    wires = [reference.pack(m) for m in messages]
    assert [reference.unpack(w) for w in wires] == messages
    assert max(map(len, wires)) > 4000
    slow = [slowed(m) for m in messages]
    shared, rounds = TLParser(schema), 400
    faults = [[] for _ in range(4)]

    def work(index):
        for r in range(rounds):
            for k in range(len(messages)):
                k = (k + index) % len(messages)  # threads on different messages at once
                # Every other round reads fields through Python code, where
                # even a build with the GIL switches threads mid-call.
                packed = shared.pack(slow[k] if (r + index) % 2 else messages[k])
                if packed != wires[k]:
                    faults[index].append(("pack", k, r, len(packed)))
                if shared.unpack(wires[k]) != messages[k]:
                    faults[index].append(("unpack", k, r))

    start_together(work, 4)
    assert faults == [[]] * 4
    assert [shared.unpack(shared.pack(m)) for m in messages] == messages


# --- Values changed while they are packed ------------------------------------

def entity(k):
    return {"_": "messageEntityTextUrl", "offset": k, "length": k + 1, "url": f"https://e{k}/" + "x" * k}


def mutations():
    """name: (value, the states it goes through, steps that move between them).

    The value's dicts are Slow, so packing runs Python code between fields
    and between the elements of a vector."""
    base = next(m for m in chat_values.chat_history(8, seed=3)["messages"] if m["_"] == "message")
    ents = [entity(k) for k in range(12)]
    texts = ["short", "long " * 300]
    media = base["media"] or {"_": "messageMediaGeo", "geo": {"_": "geoPointEmpty"}}
    lists = [ents[:3], ents[3:6], ents[6:7], []]
    cases = {  # name: (start, states, steps on the value)
        # the whole vector replaced in place by others of other lengths
        "vector-replaced": ({"entities": lists[0]}, [{"entities": v} for v in lists],
                            lambda value: [lambda v=v: value["entities"].__setitem__(slice(None), slowed(v))
                                           for v in lists[1:] + lists[:1]]),
        # one element after another appended, then removed from the end
        "vector-grown": ({"entities": []}, [{"entities": ents[:k]} for k in range(9)],
                         lambda value: [lambda e=e: value["entities"].append(slowed(e)) for e in ents[:8]]
                         + [value["entities"].pop] * 8),
        # one element swapped for another and back
        "element-swapped": ({"entities": ents[:3]}, [{"entities": [ents[0], e, ents[2]]} for e in ents[1:10:8]],
                            lambda value: [lambda e=e: value["entities"].__setitem__(1, slowed(e))
                                           for e in ents[9:0:-8]]),
        # a field's text swapped for a longer one
        "field-swapped": ({"message": texts[0]}, [{"message": t} for t in texts],
                          lambda value: [lambda t=t: value.__setitem__("message", t) for t in texts[::-1]]),
        # a conditional field present and absent, which changes the flags word
        "field-appears": ({"media": media}, [{"media": media}, {"media": None}],
                          lambda value: [lambda: value.__setitem__("media", None),
                                         lambda: value.__setitem__("media", slowed(media))]),
        # two fields deleted and put back: each is read on its own, so any mix
        # of the two may show, but the flags word must always match the fields
        "keys-deleted": ({"views": 77, "forwards": 5},
                         [{"views": v, "forwards": f} for v in (77, None) for f in (5, None)],
                         lambda value: [lambda: value.pop("forwards"), lambda: value.pop("views"),
                                        lambda: value.update(views=77, forwards=5)]),
    }
    out = {}
    for name, (begin, states, steps) in cases.items():
        value = slowed(copy.deepcopy(base | begin))
        out[name] = (value, [copy.deepcopy(base | state) for state in states], steps(value))
    return out


MUTATIONS = mutations()


@pytest.mark.parametrize("name", sorted(MUTATIONS) or ["none"])
def test_value_changed_by_another_thread_while_packed(name):
    value, states, steps = MUTATIONS[name]
    parser = TLParser(chat_values.CHAT_SCHEMA)
    allowed = {parser.pack(state): k for k, state in enumerate(states)}
    seen, bad, done = set(), [], threading.Event()

    def work(index):
        if index == 0:  # the packer
            try:
                for _ in range(1500):
                    try:
                        packed = parser.pack(value)
                    except SystemError as e:
                        bad.append(e)
                    except Exception as e:
                        seen.add(type(e).__name__)
                    else:
                        if packed in allowed:
                            seen.add(allowed[packed])
                        else:
                            bad.append(packed)
            finally:
                done.set()
        else:  # the other thread, changing it all the while
            while not done.is_set():
                for step in steps:
                    step()

    start_together(work, 2)
    assert bad == [], f"{len(bad)} packs gave neither state's bytes: {bad[:3]!r:.300}"
    assert any(isinstance(k, int) for k in seen), f"no pack succeeded: {seen}"
    # with the changes over, the value packs as the state it was left in
    assert parser.pack(value) in allowed


# --- Dicts changed by another thread, without the GIL -------------------------
#
# The changer keeps one invariant: whenever "_" is "peerUser", "user_id" is 1.
# So a peerUser with user_id 0 is no state of the dict, and every pack must
# give the bytes of a state (or a clean exception).

PEERS = {"constructors": [
    {"id": "1", "predicate": "peerUser", "type": "Peer", "params": [{"name": "user_id", "type": "long"}]},
    {"id": "2", "predicate": "peerChat", "type": "Peer", "params": [{"name": "chat_id", "type": "long"}]}]}


class PlainSubclass(dict):
    pass


def changed_by_name(d, stop):
    # Each "_" is a new str, and the one before it goes at once, so the next
    # may be made at its address.
    join, user, chat = "".join, ["peer", "User"], ["peer", "Chat"]
    while not stop.is_set():
        d["_"] = join(chat)
        d["_"] = join(chat)
        del d["user_id"]
        d["chat_id"] = 2
        d["user_id"] = 1
        d["_"] = join(user)
        d["_"] = join(user)
        del d["chat_id"]


DICTS = {
    "name made at run time": lambda: {"_": "".join(["peer", "User"]), "user_id": 1},
    "a key that is not a str": lambda: {"_": "peerUser", "user_id": 1, 0: "names no field"},
    "dict subclass": lambda: PlainSubclass(_="peerUser", user_id=1),
    "subclass, key not a str": lambda: PlainSubclass({"_": "peerUser", "user_id": 1, 0: "x"}),
}


@free_threaded
@pytest.mark.parametrize("kind", sorted(DICTS))
def test_dict_changed_while_packed_gives_one_of_its_states(kind):
    parser = TLParser(PEERS)
    legit = {parser.pack({"_": "peerUser", "user_id": 1}), parser.pack({"_": "peerChat", "chat_id": 2}),
             parser.pack({"_": "peerChat", "chat_id": 0})}
    d, stop, torn, packs = DICTS[kind](), threading.Event(), [], [0]

    def work(index):
        if index == 0:
            changed_by_name(d, stop)
            return
        deadline = time.monotonic() + 1.5
        try:
            while time.monotonic() < deadline:
                for _ in range(200):
                    try:
                        data = parser.pack(d)
                    except (ValueError, RuntimeError):  # "_" missing for a moment, or changing too often
                        continue
                    packs[0] += 1
                    if data not in legit:
                        torn.append(data)
        finally:
            stop.set()

    start_together(work, 3)
    assert torn == [], f"{len(torn)} of {packs[0]} packs wrote a state the dict never held: {torn[0].hex()}"
    assert packs[0] > 1000
