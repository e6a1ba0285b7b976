#include <kav/host/host_value.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Vemi::Host {
namespace {

// A kind word and the largest payload, a pointer and a length (8 bytes on the 32-bit host).
static_assert(sizeof(HostValue) == 4 + sizeof(void*) + 4);
static_assert(sizeof(HostStructEntry) == sizeof(void*) + sizeof(HostValue) + 1);

// Items of a collection or entries of a structure as the plugin gave them: a null array
// counts as empty whatever its count says.
template <typename T>
std::span<const T> Items(const T* data, uint32_t count) noexcept {
    return data == nullptr ? std::span<const T>{} : std::span<const T>(data, count);
}

std::string_view Text(const char* data, uint32_t length) noexcept {
    return data == nullptr ? std::string_view{} : std::string_view(data, length);
}

// A malloc'd copy of bytes; null on failure (and for zero bytes, where no block is needed).
void* CopyBytes(const void* data, size_t size) noexcept {
    if (data == nullptr || size == 0) return nullptr;
    void* copy = std::malloc(size);
    if (copy != nullptr) std::memcpy(copy, data, size);
    return copy;
}

char* CopyKey(const char* key) noexcept {
    const char* text = key == nullptr ? "" : key;
    return static_cast<char*>(CopyBytes(text, std::strlen(text) + 1));
}

void Release(HostValue& value, int depth) noexcept {
    switch (value.kind) {
        case HOST_VALUE_STRING_OWNED:
            std::free(const_cast<char*>(value.u.string.data));
            break;
        case HOST_VALUE_BLOB_OWNED:
            std::free(const_cast<uint8_t*>(value.u.blob.data));
            break;
        case HOST_VALUE_COLLECTION: {
            HostValue* items = value.u.collection.items;
            if (items != nullptr && depth < kMaxValueDepth) {
                for (uint32_t i = 0; i < value.u.collection.count; ++i) Release(items[i], depth + 1);
            }
            std::free(items);
            break;
        }
        case HOST_VALUE_STRUCTURE: {
            HostStructEntry* entries = value.u.structure.entries;
            if (entries != nullptr && depth < kMaxValueDepth) {
                for (uint32_t i = 0; i < value.u.structure.count; ++i) {
                    Release(entries[i].value, depth + 1);
                    if (entries[i].key_owned) std::free(const_cast<char*>(entries[i].key));
                }
            }
            std::free(entries);
            break;
        }
        default:
            break;
    }
    value = HostValue{};
}

HostValue Copy(const HostValue& value, int depth) noexcept {
    HostValue out{};
    if (depth >= kMaxValueDepth) return out;
    switch (value.kind) {
        case HOST_VALUE_STRING:
        case HOST_VALUE_STRING_OWNED: {
            std::string_view text = Text(value.u.string.data, value.u.string.length);
            char* copy = static_cast<char*>(std::malloc(text.size() + 1));
            if (copy == nullptr) return out;
            if (!text.empty()) std::memcpy(copy, text.data(), text.size());
            copy[text.size()] = '\0';
            out.kind = HOST_VALUE_STRING_OWNED;
            out.u.string.data = copy;
            out.u.string.length = static_cast<uint32_t>(text.size());
            return out;
        }
        case HOST_VALUE_BLOB:
        case HOST_VALUE_BLOB_OWNED: {
            uint32_t size = value.u.blob.data == nullptr ? 0 : value.u.blob.size;
            void* copy = CopyBytes(value.u.blob.data, size);
            if (size != 0 && copy == nullptr) return out;
            out.kind = HOST_VALUE_BLOB_OWNED;
            out.u.blob.data = static_cast<const uint8_t*>(copy);
            out.u.blob.size = size;
            return out;
        }
        case HOST_VALUE_COLLECTION: {
            auto items = Items(value.u.collection.items, value.u.collection.count);
            auto* copy = static_cast<HostValue*>(std::calloc(items.size() + 1, sizeof(HostValue)));
            if (copy == nullptr) return out;
            for (size_t i = 0; i < items.size(); ++i) copy[i] = Copy(items[i], depth + 1);
            out.kind = HOST_VALUE_COLLECTION;
            out.u.collection.items = copy;
            out.u.collection.count = static_cast<uint32_t>(items.size());
            return out;
        }
        case HOST_VALUE_STRUCTURE: {
            auto entries = Items(value.u.structure.entries, value.u.structure.count);
            auto* copy = static_cast<HostStructEntry*>(std::calloc(entries.size() + 1, sizeof(HostStructEntry)));
            if (copy == nullptr) return out;
            for (size_t i = 0; i < entries.size(); ++i) {
                copy[i].key = CopyKey(entries[i].key);
                copy[i].key_owned = copy[i].key != nullptr;
                copy[i].value = Copy(entries[i].value, depth + 1);
            }
            out.kind = HOST_VALUE_STRUCTURE;
            out.u.structure.entries = copy;
            out.u.structure.count = static_cast<uint32_t>(entries.size());
            return out;
        }
        case HOST_VALUE_NONE:
            return out;
        default:  // scalars and unknown kinds: no pointer to follow
            out = value;
            return out;
    }
}

void AppendQuoted(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
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

void AppendCanonical(std::string& out, const HostValue& value, int depth) {
    if (depth >= kMaxValueDepth) {
        out += "...";
        return;
    }
    switch (value.kind) {
        case HOST_VALUE_NONE: out += "empty"; return;
        case HOST_VALUE_BOOL: out += value.u.boolean ? "bool:true" : "bool:false"; return;
        case HOST_VALUE_SIGNED: out += "signed:" + std::to_string(value.u.i64); return;
        case HOST_VALUE_UNSIGNED: out += "unsigned:" + std::to_string(value.u.u64); return;
        case HOST_VALUE_FLOAT: {
            char buffer[40];
            std::snprintf(buffer, sizeof buffer, "%.17g", value.u.f64);
            out += "float:";
            out += buffer;
            return;
        }
        case HOST_VALUE_STRING:
        case HOST_VALUE_STRING_OWNED:
            out += "string:";
            AppendQuoted(out, Text(value.u.string.data, value.u.string.length));
            return;
        case HOST_VALUE_BLOB:
        case HOST_VALUE_BLOB_OWNED: {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "blob:";
            for (uint8_t byte : Items(value.u.blob.data, value.u.blob.size)) {
                out += kHex[byte >> 4];
                out += kHex[byte & 0xF];
            }
            return;
        }
        case HOST_VALUE_COLLECTION: {
            out += '[';
            const char* separator = "";
            for (const HostValue& item : Items(value.u.collection.items, value.u.collection.count)) {
                out += separator;
                AppendCanonical(out, item, depth + 1);
                separator = ", ";
            }
            out += ']';
            return;
        }
        case HOST_VALUE_STRUCTURE: {
            out += '{';
            const char* separator = "";
            for (const HostStructEntry& entry : Items(value.u.structure.entries, value.u.structure.count)) {
                out += separator;
                AppendQuoted(out, entry.key == nullptr ? "" : entry.key);
                out += ": ";
                AppendCanonical(out, entry.value, depth + 1);
                separator = ", ";
            }
            out += '}';
            return;
        }
        default:
            out += "unknown:" + std::to_string(value.kind);
            return;
    }
}

}  // namespace

void ReleaseHostValue(HostValue& value) noexcept { Release(value, 0); }

HostValue CopyHostValue(const HostValue& value) noexcept { return Copy(value, 0); }

std::string CanonicalText(const HostValue& value) {
    std::string out;
    AppendCanonical(out, value, 0);
    return out;
}

std::string QuoteText(std::string_view text) {
    std::string out;
    AppendQuoted(out, text);
    return out;
}

std::string_view StringOf(const HostValue& value) noexcept {
    if (value.kind != HOST_VALUE_STRING && value.kind != HOST_VALUE_STRING_OWNED) return {};
    return Text(value.u.string.data, value.u.string.length);
}

const HostValue* FindMember(const HostValue& value, std::string_view key) noexcept {
    if (value.kind != HOST_VALUE_STRUCTURE) return nullptr;
    for (const HostStructEntry& entry : Items(value.u.structure.entries, value.u.structure.count)) {
        if (key == (entry.key == nullptr ? "" : entry.key)) return &entry.value;
    }
    return nullptr;
}

OwnedValue OwnedValue::Adopt(const HostValue& value) noexcept {
    OwnedValue owned;
    owned.value_ = value;
    return owned;
}

OwnedValue OwnedValue::Copy(const HostValue& value) noexcept { return Adopt(CopyHostValue(value)); }

OwnedValue& OwnedValue::operator=(const OwnedValue& other) noexcept {
    if (this != &other) {
        HostValue copy = CopyHostValue(other.value_);
        ReleaseHostValue(value_);
        value_ = copy;
    }
    return *this;
}

OwnedValue& OwnedValue::operator=(OwnedValue&& other) noexcept {
    if (this != &other) {
        ReleaseHostValue(value_);
        value_ = other.value_;
        other.value_ = HostValue{};
    }
    return *this;
}

HostValue OwnedValue::Release() noexcept {
    HostValue out = value_;
    value_ = HostValue{};
    return out;
}

OwnedValue BoolValue(bool value) noexcept {
    HostValue v{};
    v.kind = HOST_VALUE_BOOL;
    v.u.boolean = value ? 1 : 0;
    return OwnedValue::Adopt(v);
}

OwnedValue SignedValue(int64_t value) noexcept {
    HostValue v{};
    v.kind = HOST_VALUE_SIGNED;
    v.u.i64 = value;
    return OwnedValue::Adopt(v);
}

OwnedValue UnsignedValue(uint64_t value) noexcept {
    HostValue v{};
    v.kind = HOST_VALUE_UNSIGNED;
    v.u.u64 = value;
    return OwnedValue::Adopt(v);
}

OwnedValue FloatValue(double value) noexcept {
    HostValue v{};
    v.kind = HOST_VALUE_FLOAT;
    v.u.f64 = value;
    return OwnedValue::Adopt(v);
}

OwnedValue StringValue(std::string_view text) noexcept {
    HostValue borrowed{};
    borrowed.kind = HOST_VALUE_STRING;
    borrowed.u.string.data = text.data();
    borrowed.u.string.length = static_cast<uint32_t>(text.size());
    return OwnedValue::Copy(borrowed);
}

OwnedValue BlobValue(std::span<const uint8_t> bytes) noexcept {
    HostValue borrowed{};
    borrowed.kind = HOST_VALUE_BLOB;
    borrowed.u.blob.data = bytes.data();
    borrowed.u.blob.size = static_cast<uint32_t>(bytes.size());
    return OwnedValue::Copy(borrowed);
}

OwnedValue CollectionValue(std::vector<OwnedValue> items) noexcept {
    auto* array = static_cast<HostValue*>(std::calloc(items.size() + 1, sizeof(HostValue)));
    if (array == nullptr) return {};
    for (size_t i = 0; i < items.size(); ++i) array[i] = items[i].Release();
    HostValue v{};
    v.kind = HOST_VALUE_COLLECTION;
    v.u.collection.items = array;
    v.u.collection.count = static_cast<uint32_t>(items.size());
    return OwnedValue::Adopt(v);
}

OwnedValue StructureValue(std::vector<std::pair<std::string, OwnedValue>> members) noexcept {
    auto* array = static_cast<HostStructEntry*>(std::calloc(members.size() + 1, sizeof(HostStructEntry)));
    if (array == nullptr) return {};
    for (size_t i = 0; i < members.size(); ++i) {
        array[i].key = CopyKey(members[i].first.c_str());
        array[i].key_owned = array[i].key != nullptr;
        array[i].value = members[i].second.Release();
    }
    HostValue v{};
    v.kind = HOST_VALUE_STRUCTURE;
    v.u.structure.entries = array;
    v.u.structure.count = static_cast<uint32_t>(members.size());
    return OwnedValue::Adopt(v);
}

}  // namespace Vemi::Host
