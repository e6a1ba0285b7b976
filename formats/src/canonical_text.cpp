// CanonicalText: an explicit stack walk, so values of any depth print safely.
#include <kav/formats/canonical_text.h>

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace Vemi::Formats {

using Binding::BindingValue;
using Binding::ValueKind;

namespace {

void AppendQuoted(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += kHex[(c >> 4) & 0xF];
                    out += kHex[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// Scalars and the opening of containers; answers whether a container was opened.
bool AppendValue(std::string& out, const BindingValue& v) {
    char number[40];
    switch (v.Kind()) {
        case ValueKind::Empty:
            out += "empty";
            return false;
        case ValueKind::Bool:
            out += v.AsBool() ? "bool:true" : "bool:false";
            return false;
        case ValueKind::Signed:
            std::snprintf(number, sizeof number, "signed:%" PRId64, v.AsSigned());
            out += number;
            return false;
        case ValueKind::Unsigned:
            std::snprintf(number, sizeof number, "unsigned:%" PRIu64, v.AsUnsigned());
            out += number;
            return false;
        case ValueKind::Float:
            std::snprintf(number, sizeof number, "float:%.17g", v.AsFloat());
            out += number;
            return false;
        case ValueKind::String:
            out += "string:";
            AppendQuoted(out, v.AsStringView());
            return false;
        case ValueKind::Blob: {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "blob:";
            for (uint8_t b : v.AsBlob()) {
                out += kHex[b >> 4];
                out += kHex[b & 0xF];
            }
            return false;
        }
        case ValueKind::Enum:
            std::snprintf(number, sizeof number, "enum:%" PRId32, v.AsEnum().value);
            out += number;
            return false;
        case ValueKind::Collection:
            out += '[';
            return true;
        case ValueKind::Structure:
            out += '{';
            return true;
    }
    out += "empty";
    return false;
}

struct Frame {
    const BindingValue* container;
    size_t index;  // collections: next element
    Binding::BasicMemberIterator<const BindingValue> member;  // structures: next member
};

}  // namespace

std::string CanonicalText(const BindingValue& value) {
    std::string out;
    std::vector<Frame> stack;
    if (AppendValue(out, value)) stack.push_back({&value, 0, value.Members().begin()});
    while (!stack.empty()) {
        Frame& f = stack.back();
        const BindingValue* next = nullptr;
        const bool first = f.index == 0;
        if (f.container->Kind() == ValueKind::Collection) {
            if (f.index < f.container->Size()) next = &f.container->GetElement(f.index);
        } else if (f.member != Binding::BasicMemberIterator<const BindingValue>()) {
            if (!first) out += ", ";
            AppendQuoted(out, (*f.member).name);
            out += ": ";
            next = &(*f.member).value;
            ++f.member;
        }
        if (next == nullptr) {
            out += f.container->Kind() == ValueKind::Collection ? ']' : '}';
            stack.pop_back();
            continue;
        }
        if (f.container->Kind() == ValueKind::Collection && !first) out += ", ";
        ++f.index;
        if (AppendValue(out, *next)) stack.push_back({next, 0, next->Members().begin()});
    }
    return out;
}

}  // namespace Vemi::Formats
