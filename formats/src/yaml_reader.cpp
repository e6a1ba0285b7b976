// YAML reader: libyaml's event parser, with an open-node stack that the events
// fill in place. Anchored nodes are remembered by their location (the steps from
// the root), because values move when collections grow, and copied when an alias
// names them.
#include <kav/formats/yaml_reader.h>

#include <yaml.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <kav/binding/limits.h>
#include <kav/binding/to_native.h>
#include <kav/logging/positional_format.h>

namespace Vemi::Formats {

using Binding::BindingResult;
using Binding::BindingValue;
using Binding::kMaxNestingDepth;
using Binding::ValueKind;

namespace {

constexpr const char* kTagStr = "tag:yaml.org,2002:str";
constexpr const char* kTagInt = "tag:yaml.org,2002:int";
constexpr const char* kTagFloat = "tag:yaml.org,2002:float";
constexpr const char* kTagBool = "tag:yaml.org,2002:bool";

// What an anchor names: the text of an anchored mapping key, or a node by location.
struct Anchor {
    bool isKey;
    bool open;  // an anchored container still being filled (an alias of it is a cycle)
    int32_t location;
    std::string keyText;
    // The node as last found; valid while no value has moved since (same generation).
    const BindingValue* node = nullptr;
    uint64_t generation = 0;
};

// One step of a location, shared by every location that passes through it.
struct LocationNode {
    int32_t parent;
    bool isIndex;
    uint32_t index;
    std::string name;
};

struct Entry {
    BindingValue* value;
    Anchor* anchor;    // set while an anchored container is open
    int32_t location;  // node in the location table; -1 until an anchor needs it
    bool container;
    bool isIndex;  // the step from the parent: an element index or a member name
    uint32_t index;
    std::string name;
    const BindingValue* items;  // an open collection's items when last seen
};

std::string_view Text(const yaml_event_t& event) {
    return {reinterpret_cast<const char*>(event.data.scalar.value), event.data.scalar.length};
}

bool IsNullWord(std::string_view t) noexcept {
    return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

// 1 true, 0 false, -1 not a bool word.
int BoolWord(std::string_view t) noexcept {
    static constexpr std::string_view kTrue[] = {"true", "True", "TRUE", "y", "Y", "yes", "Yes", "YES", "on", "On", "ON"};
    static constexpr std::string_view kFalse[] = {"false", "False", "FALSE", "n",   "N",  "no",
                                                  "No",    "NO",    "off",   "Off", "OFF"};
    if (t.empty() || t.size() > 5) return -1;
    for (std::string_view w : kTrue)
        if (w == t) return 1;
    for (std::string_view w : kFalse)
        if (w == t) return 0;
    return -1;
}

// False when strtod cannot take the whole text: it starts with white space, a sign,
// a digit, a point, "inf" or "nan" (either case).
bool MayBeNumber(std::string_view t) noexcept {
    const char c = t[0];
    if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == ' ' || (c >= '\t' && c <= '\r')) return true;
    if (t.size() < 3) return false;
    const auto lower = [](char x) { return static_cast<char>(x | 0x20); };
    const std::string_view word = lower(c) == 'i' ? "inf" : "nan";
    return lower(t[0]) == word[0] && lower(t[1]) == word[1] && lower(t[2]) == word[2];
}

// The common case of a plain decimal integer of at most 18 digits, which strtod
// would read exactly as well: the same value, without the detour through a double.
// False (nothing set) for any other text.
bool ResolvePlainInteger(BindingValue& target, std::string_view t) noexcept {
    const bool negative = t[0] == '-';
    const size_t first = negative ? 1 : 0;
    if (t.size() == first || t.size() - first > 18) return false;
    uint64_t value = 0;
    for (size_t i = first; i < t.size(); ++i) {
        const unsigned digit = static_cast<unsigned char>(t[i]) - '0';
        if (digit > 9) return false;
        value = value * 10 + digit;
    }
    // strtod reads "-0" as a negative zero, which is not below zero: unsigned 0.
    if (negative && value != 0) target.SetSigned(-static_cast<int64_t>(value));
    else target.SetUnsigned(value);
    return true;
}

// A plain decimal fraction ("-12.375") of at most 15 digits as the double strtod
// gives: the digits and the power of ten are both exact doubles, so one division
// rounds correctly. False for any other text.
bool PlainDecimal(std::string_view t, double& out) noexcept {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = t[0] == '-';
    size_t i = negative ? 1 : 0;
    uint64_t digits = 0;
    size_t count = 0;
    size_t point = t.size();  // index of the '.', the size while none is seen
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (c == '.' && point == t.size()) {
            point = i;
            continue;
        }
        const unsigned digit = static_cast<unsigned char>(c) - '0';
        if (digit > 9 || ++count > 15) return false;
        digits = digits * 10 + digit;
    }
    // A digit on both sides of the point.
    const size_t first = negative ? 1 : 0;
    if (point == t.size() || point == first || point + 1 == t.size()) return false;
    const double value = static_cast<double>(digits) / kPowers[t.size() - point - 1];
    out = negative ? -value : value;
    return true;
}

// An integral double as an integer value; false when it lies outside both 64-bit
// ranges. Past 2^53 a double has lost digits, so a decimal text is read exactly.
bool SetIntegral(BindingValue& target, double d, const char* text, size_t length) {
    constexpr double kTwo53 = 9007199254740992.0;
    constexpr double kTwo63 = 9223372036854775808.0;
    constexpr double kTwo64 = 18446744073709551616.0;
    if (d <= -kTwo53 || d >= kTwo53) {
        char* end = nullptr;
        errno = 0;
        const long long s = d < 0 ? std::strtoll(text, &end, 10) : 0;
        const unsigned long long u = d < 0 ? 0 : std::strtoull(text, &end, 10);
        if (end == text + length) {
            if (errno != 0) return false;
            if (d < 0) target.SetSigned(s);
            else target.SetUnsigned(u);
            return true;
        }
    }
    if (d < 0) {
        if (d < -kTwo63) return false;
        target.SetSigned(static_cast<int64_t>(d));
        return true;
    }
    if (d >= kTwo64) return false;
    target.SetUnsigned(d < kTwo63 ? static_cast<uint64_t>(d) : static_cast<uint64_t>(d - kTwo63) + (uint64_t{1} << 63));
    return true;
}

class Builder {
public:
    Builder(BindingResult& result, size_t inputBytes) : result_(result), aliasBudget_(YamlAliasBudget(inputBytes)) {
        locations_.push_back({-1, false, 0, {}});
        entries_.reserve(16);
        Push(&result_.value, false, 0);
        entries_[0].location = 0;
    }

    void Run(const char* data, size_t length) {
        struct Parser {
            yaml_parser_t parser;
            bool ready;
            Parser() noexcept { ready = yaml_parser_initialize(&parser) != 0; }
            ~Parser() {
                if (ready) yaml_parser_delete(&parser);
            }
        } p;
        if (!p.ready) return result_.Fail("YAML parser error: out of memory. At line: 0 col: 0");
        yaml_parser_set_encoding(&p.parser, YAML_UTF8_ENCODING);
        yaml_parser_set_input_string(&p.parser, reinterpret_cast<const unsigned char*>(data), length);
        struct Event {
            yaml_event_t event;
            ~Event() { yaml_event_delete(&event); }
        };
        while (result_.Ok() && !done_) {
            Event e;
            if (yaml_parser_parse(&p.parser, &e.event) == 0) {
                const yaml_parser_t& q = p.parser;
                result_.Fail(PositionalFormat("YAML parser error: %1. At line: %2 col: %3",
                                              q.problem != nullptr ? q.problem : "", q.problem_mark.line,
                                              q.problem_mark.column));
                return;
            }
            Handle(e.event);
        }
    }

private:
    template <class... Args>
    void Fail(const char* format, const Args&... args) {
        result_.Fail(PositionalFormat(format, args...));
    }
    template <class... Args>
    void FailAt(const yaml_event_t& event, const char* format, const Args&... args) {
        Fail(format, args..., event.start_mark.line + 1, event.start_mark.column + 1);
    }

    void Push(BindingValue* value, bool isIndex, uint32_t index) {
        if (size_ == entries_.size()) entries_.emplace_back();
        Entry& e = entries_[size_++];
        e.value = value;
        e.anchor = nullptr;
        e.location = -1;
        e.container = false;
        e.isIndex = isIndex;
        e.index = index;
        e.items = nullptr;
        if (!isIndex) {
            // The entry keeps the key; the pending key takes the entry's old buffer.
            e.name.swap(pendingKey_);
            pendingKey_.clear();
            hasPendingKey_ = false;
        }
    }

    void Pop() {
        Entry& e = entries_[--size_];
        if (e.anchor != nullptr) e.anchor->open = false;
        if (e.container) --openContainers_;
    }

    // The location node of an entry, made on first need together with its parents'.
    int32_t LocationOf(size_t entry) {
        size_t first = entry;
        while (entries_[first].location < 0) --first;  // the root entry always has one
        for (size_t i = first + 1; i <= entry; ++i) {
            Entry& e = entries_[i];
            locations_.push_back({entries_[i - 1].location, e.isIndex, e.index, e.isIndex ? std::string() : e.name});
            e.location = static_cast<int32_t>(locations_.size() - 1);
        }
        return entries_[entry].location;
    }

    // The anchored node now, or the null value when it has gone since. The walk from
    // the root is only repeated after values may have moved.
    const BindingValue& Find(Anchor& anchor) {
        if (anchor.node != nullptr && anchor.generation == generation_) return *anchor.node;
        path_.clear();
        for (int32_t n = anchor.location; n > 0; n = locations_[static_cast<size_t>(n)].parent) path_.push_back(n);
        const BindingValue* v = &result_.value;
        for (size_t i = path_.size(); i-- > 0;) {
            const LocationNode& step = locations_[static_cast<size_t>(path_[i])];
            v = step.isIndex ? &v->GetElement(step.index) : &v->GetMember(step.name);
        }
        anchor.node = v;
        anchor.generation = generation_;
        return *v;
    }

    // Values move when a collection's items are reallocated, and vanish when a
    // container is replaced: either makes remembered nodes stale.
    void Replacing(const BindingValue& target, ValueKind kind) noexcept {
        const ValueKind old = target.Kind();
        if ((old == ValueKind::Collection || old == ValueKind::Structure) && old != kind) ++generation_;
    }

    // Records an anchor; false (and failed) when the name is taken.
    Anchor* AddAnchor(const yaml_event_t& event, const char* name, Anchor anchor) {
        auto [it, added] = anchors_.try_emplace(name, std::move(anchor));
        if (!added) {
            FailAt(event, "Duplicate occurrence of anchor \"%1\". At line: %2 col: %3", name);
            return nullptr;
        }
        return &it->second;
    }

    // One handler per event kind, as the parser reports them.
    void Handle(const yaml_event_t& event) {
        switch (event.type) {
            case YAML_STREAM_END_EVENT:
                done_ = true;
                return;
            case YAML_DOCUMENT_START_EVENT:
                return OnDocumentStart();
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT:
                return OnContainerEnd();
            case YAML_SCALAR_EVENT:
                return OnScalar(event);
            case YAML_SEQUENCE_START_EVENT:
                return OnContainerStart(event, true, event.data.sequence_start.anchor);
            case YAML_MAPPING_START_EVENT:
                return OnContainerStart(event, false, event.data.mapping_start.anchor);
            case YAML_ALIAS_EVENT:
                return OnAlias(event);
            default:  // stream start, document end
                return;
        }
    }

    void OnDocumentStart() {
        // The root entry is closed once the first document is read.
        if (documents_++ != 0) Fail("Multi-document YAML is not supported.");
    }

    void OnContainerEnd() {
        if (size_ != 0) Pop();
    }

    // Where a node event lands: the entry it fills, or a key position in a mapping.
    struct Slot {
        bool keyPosition;
        size_t top;  // the entry of the node
    };

    // Opens the node's entry: a new element, the member of the pending key, or the
    // innermost node itself (at the root, or a key position in a mapping). False
    // (and failed) once the root is closed.
    bool Enter(Slot& slot) {
        if (size_ == 0) {
            Fail("Multi-document YAML is not supported.");
            return false;
        }
        Entry& inner = entries_[size_ - 1];
        BindingValue& node = *inner.value;
        slot.keyPosition = false;
        if (inner.container && node.Kind() == ValueKind::Collection) {
            const size_t index = node.Size();
            BindingValue& element = node.Append();
            const BindingValue* items = &element - index;
            if (items != inner.items) {
                if (index != 0) ++generation_;  // the earlier elements moved
                inner.items = items;
            }
            Push(&element, true, static_cast<uint32_t>(index));
        } else if (inner.container && hasPendingKey_) {
            Push(&node.Member(pendingKey_), false, 0);
        } else {
            slot.keyPosition = inner.container;
        }
        slot.top = size_ - 1;
        return true;
    }

    void OnScalar(const yaml_event_t& event) {
        Slot slot;
        if (!Enter(slot)) return;
        const auto& s = event.data.scalar;
        const char* anchor = reinterpret_cast<const char*>(s.anchor);
        const char* tag = reinterpret_cast<const char*>(s.tag);
        if (slot.keyPosition) {
            if (tag != nullptr && std::strcmp(tag, kTagStr) != 0) {
                return FailAt(event, "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2");
            }
            pendingKey_.assign(Text(event));
            hasPendingKey_ = true;
            if (anchor != nullptr) AddAnchor(event, anchor, {true, false, -1, pendingKey_});
            return;
        }
        BindingValue& target = *entries_[slot.top].value;
        const bool quoted = s.style == YAML_SINGLE_QUOTED_SCALAR_STYLE || s.style == YAML_DOUBLE_QUOTED_SCALAR_STYLE;
        Replacing(target, ValueKind::Empty);
        Resolve(target, tag, reinterpret_cast<const char*>(s.value), s.length, quoted);
        if (!result_.Ok()) return;
        if (anchor != nullptr && AddAnchor(event, anchor, {false, false, LocationOf(slot.top), {}}) == nullptr) return;
        Pop();
    }

    void OnContainerStart(const yaml_event_t& event, bool sequence, const yaml_char_t* anchorName) {
        Slot slot;
        if (!Enter(slot)) return;
        if (slot.keyPosition) {
            return FailAt(event, sequence ? "Unexpected start of sequence. At line: %1 col: %2"
                                          : "Unexpected start of mapping. At line: %1 col: %2");
        }
        if (openContainers_ == kMaxNestingDepth) {
            return FailAt(event, "Nesting is deeper than %1 levels. At line: %2 col: %3", kMaxNestingDepth);
        }
        BindingValue& target = *entries_[slot.top].value;
        Replacing(target, sequence ? ValueKind::Collection : ValueKind::Structure);
        if (sequence) target.MakeCollection();
        else target.MakeStructure();
        entries_[slot.top].container = true;
        ++openContainers_;
        if (const auto* anchor = reinterpret_cast<const char*>(anchorName)) {
            Anchor* a = AddAnchor(event, anchor, {false, true, LocationOf(slot.top), {}});
            entries_[slot.top].anchor = a;
        }
    }

    void OnAlias(const yaml_event_t& event) {
        Slot slot;
        if (!Enter(slot)) return;
        const char* name = reinterpret_cast<const char*>(event.data.alias.anchor);
        if (slot.keyPosition) {
            return FailAt(event, "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2");
        }
        auto it = anchors_.find(name);
        if (it != anchors_.end() && it->second.open) {
            return FailAt(event, "Cannot deserialize cyclic aliases. Alias \"%1\". At line: %2 col: %3", name);
        }
        if (it == anchors_.end()) {
            return FailAt(event, "Undefined alias encountered: \"%1\". At line: %2 col: %3", name);
        }
        BindingValue& target = *entries_[slot.top].value;
        if (it->second.isKey) {
            if (!Spend(event, 1)) return;
            Replacing(target, ValueKind::Empty);
            target.SetString(it->second.keyText);
        } else {
            const BindingValue& source = Find(it->second);
            if (!Measure(event, source)) return;
            Replacing(target, ValueKind::Empty);
            target = source;
        }
        Pop();
    }

    bool Spend(const yaml_event_t& event, size_t values) {
        if (values > aliasBudget_ - aliasValues_) {
            FailAt(event, "Aliases expand to more than %1 values. At line: %2 col: %3", aliasBudget_);
            return false;
        }
        aliasValues_ += values;
        return true;
    }

    // Counts what a copy of `source` adds and checks it against the alias budget and
    // the depth left below the open containers, stopping as soon as either is passed.
    bool Measure(const yaml_event_t& event, const BindingValue& source) {
        const size_t budget = aliasBudget_ - aliasValues_;
        const size_t maxHeight = kMaxNestingDepth - openContainers_;
        size_t values = 0;
        walk_.clear();
        walk_.emplace_back(&source, 0);
        while (!walk_.empty()) {
            auto [v, level] = walk_.back();
            walk_.pop_back();
            ++values;
            const ValueKind kind = v->Kind();
            if (kind != ValueKind::Collection && kind != ValueKind::Structure) continue;
            if (level == maxHeight) {
                FailAt(event, "Nesting is deeper than %1 levels. At line: %2 col: %3", kMaxNestingDepth);
                return false;
            }
            // Counted before they are queued, so a wide node costs no more than the budget.
            if (values + walk_.size() + v->Size() > budget) return Spend(event, budget + 1);
            if (kind == ValueKind::Collection) {
                for (const BindingValue& e : v->Elements()) walk_.emplace_back(&e, level + 1);
            } else {
                for (auto m : v->Members()) walk_.emplace_back(&m.value, level + 1);
            }
        }
        return Spend(event, values);
    }

    void Resolve(BindingValue& target, const char* tag, const char* text, size_t length, bool quoted) {
        const std::string_view view(text, length);
        if (tag != nullptr) {
            if (std::strcmp(tag, kTagStr) == 0) return target.SetString(view);
            if (std::strcmp(tag, kTagInt) == 0) return ResolveInteger(target, text, length);
            if (std::strcmp(tag, kTagFloat) == 0) return ResolveFloat(target, text, length);
            if (std::strcmp(tag, kTagBool) == 0) {
                // Any other text leaves the value empty, also over a duplicate key's earlier value.
                const int b = BoolWord(view);
                if (b >= 0) return target.SetBool(b == 1);
                return target.Reset();
            }
            return Fail("Unsupported YAML tag '%1'.", tag);
        }
        if (quoted) return target.SetString(view);
        if (IsNullWord(view)) return target.Reset();
        if (MayBeNumber(view)) {
            if (ResolvePlainInteger(target, view)) return;
            char* end = nullptr;
            double d;
            if (PlainDecimal(view, d)) end = const_cast<char*>(text + length);
            else d = std::strtod(text, &end);
            if (end == text + length && !(std::isinf(d) && d > 0)) {
                const bool integral = !std::isnan(d) && std::trunc(d) == d;
                // Integral numbers beyond both 64-bit ranges (1e30, -inf) stay floats.
                if (!integral || !SetIntegral(target, d, text, length)) target.SetFloat(d);
                return;
            }
        }
        const int b = BoolWord(view);
        if (b >= 0) return target.SetBool(b == 1);
        target.SetString(view);
    }

    // The conversions' own integer rule: a text that begins with "-" is signed.
    void ResolveInteger(BindingValue& target, const char* text, size_t length) {
        if (length != 0 && text[0] == '-') {
            int64_t value = 0;
            Binding::ConvertIntegerText(result_, value, text, "yaml", "int64_t");
            if (result_.Ok()) target.SetSigned(value);
        } else {
            uint64_t value = 0;
            Binding::ConvertIntegerText(result_, value, text, "yaml", "uint64_t");
            if (result_.Ok()) target.SetUnsigned(value);
        }
    }

    // The floating rule of the conversions for a double, over the whole text.
    void ResolveFloat(BindingValue& target, const char* text, size_t length) {
        const std::string_view view(text, length);
        constexpr double kMax = 1.7976931348623157e308;
        char* end = nullptr;
        errno = 0;
        const double d = std::strtod(text, &end);
        if (end != text + length) return Fail("Value %1 for '%2' of type %3 is in an incorrect format", view, "yaml", "double");
        if (errno == ERANGE || d < -kMax || d > kMax) {
            return Fail("Value %1 for '%2' of type %3 is out of range", view, "yaml", "double");
        }
        target.SetFloat(d);
    }

    BindingResult& result_;
    std::vector<Entry> entries_;
    size_t size_ = 0;
    size_t openContainers_ = 0;
    std::vector<LocationNode> locations_;
    std::unordered_map<std::string, Anchor> anchors_;
    std::string pendingKey_;
    bool hasPendingKey_ = false;
    uint32_t documents_ = 0;
    bool done_ = false;
    size_t aliasBudget_;
    size_t aliasValues_ = 0;
    uint64_t generation_ = 0;
    std::vector<int32_t> path_;
    std::vector<std::pair<const BindingValue*, size_t>> walk_;
};

}  // namespace

BindingResult DecodeYaml(const char* data, size_t length) {
    BindingResult result;
    if (data == nullptr) return result;
    // Every byte goes to the parser: it refuses a NUL as a control character.
    Builder builder(result, length);
    builder.Run(data, length);
    return result;
}

BindingResult DecodeYaml(const char* text) {
    return text != nullptr ? DecodeYaml(text, std::strlen(text)) : BindingResult();
}

}  // namespace Vemi::Formats
