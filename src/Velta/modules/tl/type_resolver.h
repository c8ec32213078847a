// The type resolver: every type text of a compiled table into a value type.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_TYPE_RESOLVER_H
#define VELTA_TL_TYPE_RESOLVER_H

namespace {

// The element type text of a vector type text: the text inside the outermost
// "Vector<...>" once a condition prefix is removed. A text of another shape
// keeps what is left after removing every "Vector<" and ">"; `storage` holds
// the text then.
int element_text_of(TypeText type_name, std::string& storage, TypeText* out) {
    const std::string_view kept = velta::strip_condition(type_name);
    constexpr std::string_view open = "Vector<";
    if (kept.size() > open.size() && kept.starts_with(open) && kept.ends_with('>')) {
        *out = kept.substr(open.size(), kept.size() - open.size() - 1);
        return 0;
    }
    try {
        // One pass, so that a long odd text costs time in proportion to it:
        // drop every "Vector<", then every ">" of what is left.
        std::string without_open;
        for (size_t at = 0; at < kept.size();) {
            if (kept.substr(at).starts_with(open)) {
                at += open.size();
            } else {
                without_open += kept[at++];
            }
        }
        storage.clear();
        for (const char c : without_open)
            if (c != '>') storage += c;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    *out = TypeText(storage.data(), storage.size());
    return 0;
}

// Heterogeneous look-up by string_view in maps keyed by std::string.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Vectors of vectors nest at most this deep in a type text: the codec could
// not go deeper in a message either, and the compiler must not recurse
// without bound on a hostile schema.
constexpr int kMaxTypeNesting = 256;

// Turns the type texts of a compiled table into the value types the codec
// works from, each text once. Runs after every record is built and indexed,
// since bare types name other records. Throws std::bad_alloc.
class TypeResolver {
public:
    // New value types are chained to `chain`: the schema's own list, or the
    // private list of one call (see CallTypes).
    explicit TypeResolver(TLSchemaCompilerObject* self, TLValueType** chain = nullptr)
        : self_(self), schema_(self->_schema), chain_(chain ? chain : &self->_schema->value_types) {}

    // The value type of `text` (its condition already removed), which must
    // stay valid as long as the resolver: a field's own type text, a part
    // of one, or a text the resolver keeps. Null with ValueError pending for
    // a bare type that names no single constructor, or nesting too deep.
    TLValueType* resolve(std::string_view text) {
        const auto found = by_text_.find(text);
        if (found != by_text_.end()) return found->second;
        if (depth_ >= kMaxTypeNesting) {
            PyErr_Format(PyExc_ValueError, msg::kTypeTooDeep, kMaxTypeNesting);
            return nullptr;
        }
        auto* type = static_cast<TLValueType*>(calloc(1, sizeof(TLValueType)));
        if (!type) throw std::bad_alloc();
        type->next = std::exchange(*chain_, type);
        // Entered before its element is resolved: "Vector" and its odd
        // shapes may name themselves.
        by_text_.emplace(text, type);
        ++depth_;
        const int status = schema_->conventions.typed_texts ? fill_typed(type, text) : fill_default(type, text);
        type->kind = conventions_kind(schema_->conventions, type->kind);
        --depth_;
        return status < 0 ? nullptr : type;
    }

    // Gives every value type its least size, each sized as its own root.
    static void set_min_sizes(TLValueType* types) {
        for (TLValueType* type = types; type; type = type->next) type->min_size = kUnknownSize;
        Sizing sizing;
        std::vector<int32_t> sizes;
        for (TLValueType* type = types; type; type = type->next) {
            bool cut = false;
            sizes.push_back(min_size(type, 0, sizing, &cut));
        }
        size_t at = 0;
        for (TLValueType* type = types; type; type = type->next) type->min_size = sizes[at++];
    }

private:
    static constexpr int32_t kUnknownSize = -1, kSizing = -2;
    static constexpr int kDeepestSizing = 64;
    static constexpr long kMostSizingSteps = 100000;
    struct Sizing {
        long steps = 0;
    };

    // Bytes a value takes at the least. A bare type met again while it is
    // being sized (it holds itself), met deeper than kDeepestSizing, or met
    // once the sizing has taken too many steps (a hostile schema) counts as
    // none and sets *cut: the safe side, since values that take no bytes are
    // the ones held to a budget. Only sizes no cut touched are kept, so a
    // type's size does not depend on the order the types are sized in.
    static int32_t min_size(TLValueType* type, int depth, Sizing& sizing, bool* cut) {
        if (type->kind != TL_TYPE_BARE_OBJECT) return own_min_size(type, depth, sizing, cut);
        if (type->min_size >= 0) return type->min_size;
        if (type->min_size == kSizing || depth > kDeepestSizing || ++sizing.steps > kMostSizingSteps) {
            *cut = true;
            return 0;
        }
        type->min_size = kSizing;
        bool inner_cut = false;
        const int32_t size = own_min_size(type, depth, sizing, &inner_cut);
        type->min_size = inner_cut ? kUnknownSize : size;
        *cut = *cut || inner_cut;
        return size;
    }

    static int32_t own_min_size(TLValueType* type, int depth, Sizing& sizing, bool* cut) {
        switch (type->kind) {
            case TL_TYPE_LONG:
            case TL_TYPE_SIGNED_LONG:
            case TL_TYPE_DOUBLE:
                return 8;
            case TL_TYPE_INT128:
            case TL_TYPE_INT128_BYTES:
                return 16;
            case TL_TYPE_INT256:
            case TL_TYPE_INT256_BYTES:
                return 32;
            case TL_TYPE_TRUE:
                return 0;
            case TL_TYPE_BARE_OBJECT: {
                int64_t total = 0;
                const TLConstructor* constr = type->bare;
                for (int32_t i = 0; i < constr->field_count && total < INT32_MAX; ++i) {
                    const TLField& field = constr->fields[i];
                    if (field.flags_word) total += 4;
                    else if (!field.is_optional)
                        total += min_size(const_cast<TLValueType*>(field.value_type), depth + 1, sizing, cut);
                }
                return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
            }
            default:
                return 4;
        }
    }

    int fill_default(TLValueType* type, std::string_view text) {
        type->kind = classify_type_text(text);
        if (type->kind != TL_TYPE_VECTOR) return 0;
        std::string storage;
        TypeText element_text;
        if (element_text_of(text, storage, &element_text) < 0) return -1;
        if (element_text.data() == storage.data()) {  // an odd shape: a text of its own
            owned_texts_.push_back(std::move(storage));
            element_text = owned_texts_.back();
        }
        return (type->element = resolve(element_text)) ? 0 : -1;
    }

    int fill_typed(TLValueType* type, std::string_view text) {
        constexpr std::string_view boxed_vector = "Vector<", bare_vector = "vector<";
        if (text == "int128" || text == "int256") {
            type->kind = text == "int128" ? TL_TYPE_INT128 : TL_TYPE_INT256;
            return 0;
        }
        if (text == "true") {
            type->kind = TL_TYPE_TRUE;
            return 0;
        }
        if ((text.starts_with(bare_vector) || text.starts_with("%Vector<")) && text.ends_with('>')) {
            const size_t open = text.find('<');
            type->kind = TL_TYPE_BARE_VECTOR;
            return (type->element = resolve(text.substr(open + 1, text.size() - open - 2))) ? 0 : -1;
        }
        if (text.size() > boxed_vector.size() && text.starts_with(boxed_vector) && text.ends_with('>')) {
            type->kind = TL_TYPE_VECTOR;
            return (type->element = resolve(text.substr(boxed_vector.size(), text.size() - boxed_vector.size() - 1))) ? 0 : -1;
        }
        if (text == "%Message" && schema_->service_message) {
            // The service layer's message, whatever the schema calls Message.
            type->kind = TL_TYPE_BARE_OBJECT;
            type->bare = schema_->service_message;
            return 0;
        }
        if (text.starts_with('%')) {
            const std::string_view named = text.substr(1);
            if (named == "int128" || named == "int256") return fill_typed(type, named);
            const TLType kind = classify_type_text(named);
            if (kind != TL_TYPE_OBJECT && kind != TL_TYPE_VECTOR && kind != TL_TYPE_BOOL) {
                type->kind = kind;  // a scalar is bare already
                return 0;
            }
            type->kind = TL_TYPE_BARE_OBJECT;
            return (type->bare = only_constructor_of(named, text)) ? 0 : -1;
        }
        type->kind = classify_type_text(text);
        if (type->kind == TL_TYPE_VECTOR) return fill_default(type, text);
        if (type->kind == TL_TYPE_OBJECT) {
            if (TLConstructor* bare = bare_constructor_named(text)) {
                type->kind = TL_TYPE_BARE_OBJECT;
                type->bare = bare;
            }
        }
        return 0;
    }

    // The record that holds `name` in the name map, if it came from the
    // "constructors" list (methods are not types).
    TLConstructor* constructor_named(std::string_view name) {
        PyRef key(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
        PyObject* index = key ? PyDict_GetItemWithError(self_->_name_map, key.get()) : nullptr;
        PyErr_Clear();  // a text that is not a name names nothing
        const long at = index ? PyLong_AsLong(index) : -1;
        return at >= 0 && at < schema_->constructor_entries ? &schema_->constructors[at] : nullptr;
    }

    // A constructor named with a lowercase first letter (after its
    // namespace) is that constructor, bare.
    TLConstructor* bare_constructor_named(std::string_view text) {
        const size_t dot = text.rfind('.');
        const std::string_view last = dot == std::string_view::npos ? text : text.substr(dot + 1);
        if (last.empty() || last[0] < 'a' || last[0] > 'z') return nullptr;
        return constructor_named(text);
    }

    // The one constructor whose result type is `type_name`.
    TLConstructor* only_constructor_of(std::string_view type_name, std::string_view text) {
        if (by_type_.empty()) {
            for (int32_t i = 0; i < schema_->constructor_entries; ++i) {
                TLConstructor* constr = &schema_->constructors[i];
                if (constructor_named(constr->name) != constr) continue;  // replaced by a later entry
                auto& slot = by_type_[std::string(constr->type)];
                slot.first = constr;
                ++slot.second;
            }
        }
        const auto found = by_type_.find(type_name);
        if (found != by_type_.end() && found->second.second == 1) return found->second.first;
        const int count = found == by_type_.end() ? 0 : found->second.second;
        PyErr_Format(PyExc_ValueError, msg::kBareType,
                     std::string(text).c_str(), std::string(type_name).c_str(), count);
        return nullptr;
    }

    TLSchemaCompilerObject* self_;
    TLSchema* schema_;
    TLValueType** chain_;
    // Keyed by views into the fields' own type texts (kept by the table) or
    // into owned_texts_, so that nested texts are not copied level by level.
    std::unordered_map<std::string_view, TLValueType*> by_text_;
    std::deque<std::string> owned_texts_;
    int depth_ = 0;
    std::unordered_map<std::string, std::pair<TLConstructor*, int>, TextHash, std::equal_to<>> by_type_;
};

// ---- type texts given to one call ---------------------------------------------

// Whether `text` is a type a field of this schema can have: a scalar, a
// boxed type some constructor has, "Object", or (typed texts) "%T", a
// lowercase constructor name and "vector<T>", nested in "Vector<T>".
bool is_schema_type(const TLSchema* schema, std::string_view text, bool typed, int depth = 0) {
    if (text.empty() || depth > kMaxTypeNesting) return false;
    for (const std::string_view open : {std::string_view("Vector<"), std::string_view("vector<"), std::string_view("%Vector<")}) {
        if (open[0] != 'V' && !typed) continue;
        if (text.size() > open.size() + 1 && text.starts_with(open) && text.ends_with('>'))
            return is_schema_type(schema, text.substr(open.size(), text.size() - open.size() - 1), typed, depth + 1);
    }
    static constexpr std::string_view kScalars[] = {"int", "long", "double", "string", "bytes", "Bool", "Object"};
    static constexpr std::string_view kTyped[] = {"true", "int128", "int256"};
    for (const std::string_view scalar : kScalars)
        if (text == scalar) return true;
    if (text == "%Message" && schema->service_message) return true;
    if (typed) {
        for (const std::string_view scalar : kTyped)
            if (text == scalar) return true;
        if (text.starts_with('%')) text.remove_prefix(1);  // its constructor is checked when resolved
    }
    for (const char c : text)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.')) return false;
    for (int32_t i = 0; i < schema->constructor_entries; ++i) {
        const TLConstructor& constr = schema->constructors[i];
        if (text == constr.type || (typed && text == constr.name)) return true;
    }
    return false;
}

// Value types of type texts that one call is given (pack's and unpack's
// `type=`, the types of `results`), made for that call alone and freed
// with it, so the shared table is never written to. They point into the
// table for everything the schema already knows.
class CallTypes {
public:
    explicit CallTypes(const TLSchemaCompilerObject* compiler)
        : compiler_(const_cast<TLSchemaCompilerObject*>(compiler)) {}
    CallTypes(const CallTypes&) = delete;
    CallTypes& operator=(const CallTypes&) = delete;
    ~CallTypes() {
        delete resolver_;
        while (chain_) free(std::exchange(chain_, chain_->next));
    }

    // The value type of the type text `text` (a str); null with ValueError
    // naming it when it is no type of the schema.
    const TLValueType* resolve(PyObject* text) {
        if (!PyUnicode_Check(text)) return raise_expected("str", text);
        const std::string_view utf8 = utf8_of(text);
        if (!utf8.data()) return nullptr;
        const TLSchema* schema = compiler_->_schema;
        if (!is_schema_type(schema, utf8, schema->conventions.typed_texts)) {
            PyErr_Format(PyExc_ValueError, msg::kTypeText, text);
            return nullptr;
        }
        try {
            if (!resolver_) resolver_ = new TypeResolver(compiler_, &chain_);
            texts_.emplace_front(utf8);
            TLValueType* newest = chain_;
            TLValueType* type = resolver_->resolve(texts_.front());
            if (!type) return nullptr;
            // Sized here, from what the table knows: the table is not written to.
            for (TLValueType* made = chain_; made != newest; made = made->next) made->min_size = least_size(made);
            return type;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;
        }
    }

private:
    static int32_t least_size(const TLValueType* type) {
        switch (type->kind) {
            case TL_TYPE_LONG:
            case TL_TYPE_SIGNED_LONG:
            case TL_TYPE_DOUBLE:
                return 8;
            case TL_TYPE_INT128:
            case TL_TYPE_INT128_BYTES:
                return 16;
            case TL_TYPE_INT256:
            case TL_TYPE_INT256_BYTES:
                return 32;
            case TL_TYPE_TRUE:
                return 0;
            case TL_TYPE_BARE_OBJECT: {
                int64_t total = 0;
                const TLConstructor* constr = type->bare;
                for (int32_t i = 0; i < constr->field_count && total < INT32_MAX; ++i) {
                    const TLField& field = constr->fields[i];
                    if (field.flags_word) total += 4;
                    else if (!field.is_optional) total += std::max<int32_t>(field.value_type->min_size, 0);
                }
                return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
            }
            default:
                return 4;
        }
    }

    TLSchemaCompilerObject* compiler_;
    TypeResolver* resolver_ = nullptr;
    TLValueType* chain_ = nullptr;  // the value types made for this call
    std::forward_list<std::string> texts_;  // stay where they are; nothing allocated until used
};

// Numbers the distinct field names of the schema (interned names are one
// object per text). Without memory for it, nothing is numbered, and pack
// matches keys that are only equal by their text each time.
void number_field_names(TLSchema* schema) {
    schema->field_name_count = 0;
    try {
        std::unordered_map<PyObject*, int32_t> numbers;
        for (int32_t c = 0; c < schema->constructor_count; ++c) {
            TLConstructor& constr = schema->constructors[c];
            for (int32_t i = 0; i < constr.field_count; ++i) {
                TLField& field = constr.fields[i];
                field.name_id = numbers.try_emplace(field.py_name_interned, static_cast<int32_t>(numbers.size())).first->second;
            }
        }
        schema->field_name_count = static_cast<int32_t>(numbers.size());
    } catch (const std::bad_alloc&) {
    }
}

// The links of every field to the next ones the codec's loops visit.
void link_fields(TLSchema* schema) {
    for (int32_t c = 0; c < schema->constructor_count; ++c) {
        TLConstructor& constr = schema->constructors[c];
        int32_t next_named = constr.field_count, next_written = constr.field_count;
        constr.unconditional_count = 0;
        for (int32_t i = constr.field_count - 1; i >= 0; --i) {
            TLField& field = constr.fields[i];
            constr.unconditional_count += !field.is_optional && !field.flags_word;
            field.next_named = next_named;
            field.next_written = next_written;
            // A flags word is written whatever else its type says.
            if (!field.flags_word || field.word_valued) next_named = i;
            if (field.flags_word || !field.bit_only) next_written = i;
        }
        constr.first_named = next_named;
        constr.first_written = next_written;
    }
    number_field_names(schema);
}

// Gives every field its value type, then every value type its least size.
int resolve_value_types(TLSchemaCompilerObject* self) {
    TLSchema* schema = self->_schema;
    try {
        TypeResolver resolver(self);
        for (int32_t i = 0; i < schema->constructor_count; ++i) {
            TLConstructor& constr = schema->constructors[i];
            for (int32_t j = 0; j < constr.field_count; ++j) {
                TLField& field = constr.fields[j];
                if (!(field.value_type = resolver.resolve(velta::strip_condition(field.type_name)))) return -1;
            }
        }
        TypeResolver::set_min_sizes(schema->value_types);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

}  // namespace

#endif  // VELTA_TL_TYPE_RESOLVER_H
