"""The schemas the fuzzer drives Velta.tl with.

SCHEMAS[0] is tiny, SCHEMAS[1] has every field kind the codec knows,
SCHEMAS[2] is the large generated schema of the benchmarks (2,000
constructors, 800 methods), and SCHEMAS[3], read in the standard mode, has
the shapes only that mode knows. The first input byte of a fuzz case picks
one.
Conditional fields always follow their flags word and never share a bit, so
a value that packs is expected to read back as the same value.
"""

from benchmarks.workloads.synthetic import generate_schema


def _params(text):
    """"a:int b:flags.0?string" -> [{"name": "a", "type": "int"}, ...]"""
    return [dict(zip(("name", "type"), item.split(":", 1))) for item in text.split()]


def _entries(key, rows):
    return [{key: name, "id": str(ident), "type": result, "params": _params(fields)}
            for name, ident, result, fields in rows]


TINY = {
    "constructors": _entries("predicate", [
        ("point", 0x0A0B0C0D, "Point", "x:int y:int"),
        ("label", -0x21524111, "Label", "text:string"),
    ]),
    "methods": [],
}

FULL = {
    "constructors": _entries("predicate", [
        ("point", 0x10000001, "Point", "x:int y:int"),
        ("pointEmpty", 0x10000002, "Point", ""),
        ("node", 0x10000003, "Node", "flags:# value:int next:flags.0?Node"),
        ("tree", 0x10000004, "Tree", "value:long children:Vector<Tree>"),
        ("sink", -0x10000005, "Sink",
         "flags:# i:int l:long d:double s:string b:bytes ok:Bool"
         " opt_i:flags.0?int opt_s:flags.1?string marker:flags.2?true opt_point:flags.3?Point"
         " opt_longs:flags.4?Vector<long> opt_ok:flags.5?Bool opt_d:flags.31?double"
         " flags2:# opt2_l:flags2.0?long opt2_b:flags2.7?bytes opt2_true:flags2.31?true"
         " opt2_points:flags2.3?Vector<Point>"
         " point:Point ints:Vector<int> points:Vector<Point> grid:Vector<Vector<long>>"
         " strs:Vector<string> blobs:Vector<bytes> doubles:Vector<double> bools:Vector<Bool>"
         " node:Node tree:Tree any:Object"),
    ]),
    "methods": _entries("method", [
        ("getSink", 0x20000001, "Sink", "flags:# sink:Sink limit:flags.0?int tag:flags.1?true"),
        ("ping", 0x20000002, "Bool", "ping_id:long"),
    ]),
}

LARGE = generate_schema(n_constructors=2000, n_methods=800, seed=0)

# For TLParser(schema, standard=True): boxed and conditional Bool, int128 and
# int256, bare vectors, bare constructors (%Type and a lowercase name), bare
# true and vectors of it, flags words of any name. gzip_packed and the rest of
# the service layer (rpc_result, msg_container over the service message,
# msg_copy) need no entries: every standard-mode parser knows them, and the
# unpack seeds carry containers of this schema's objects (make_corpus.py).
STANDARD = {
    "constructors": _entries("predicate", [
        ("point", 0x30000001, "Point", "x:int y:int"),
        ("mark", 0x30000002, "Mark", ""),
        ("pair", 0x30000003, "Pair", "a:long b:Bool"),
        ("wide", 0x30000004, "Wide",
         "f:# g:# n:int128 k:int256 ok:Bool maybe:f.0?Bool big:g.31?int128 on:f.1?true"
         " ints:vector<int> bools:Vector<Bool> pairs:vector<pair> points:Vector<%Point>"
         " here:true marks:vector<%Mark> trues:Vector<true> flags:string inner:%Pair"
         " any:Object nested:vector<vector<long>>"),
    ]),
    "methods": _entries("method", [
        ("call", 0x40000001, "Wide", "mask:# w:mask.3?Wide p:point"),
    ]),
}

SCHEMAS = [TINY, FULL, LARGE, STANDARD]
# The schemas the fuzzer reads in the standard mode.
STANDARD_MODE = {3}
