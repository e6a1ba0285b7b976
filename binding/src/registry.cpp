// The type registry, its builders and the queries on descriptors.
#include <kav/binding/registry.h>

#include <iterator>
#include <utility>

#include <kav/binding/builtins.h>
#include <kav/binding/hash.h>
#include <kav/logging/log.h>

namespace Vemi::Binding {
namespace {

constexpr const char* kTypeKindNames[] = {"",       "bool",   "int8",   "uint8",  "int16", "uint16", "int32",
                                          "uint32", "int64",  "uint64", "float",  "double", "string", "object",
                                          "blob",   "vector", "enum",   "struct", "callback", "map"};

template <class Map>
auto Snapshot(const Map& map) {
    std::vector<const typename Map::mapped_type::element_type*> list;
    list.reserve(map.size());
    for (const auto& [name, record] : map) list.push_back(record.get());
    return list;
}

template <class Map>
auto Find(const Map& map, std::string_view name) -> const typename Map::mapped_type::element_type* {
    auto it = map.find(name);
    return it == map.end() ? nullptr : it->second.get();
}

}  // namespace

const char* TypeKindName(uint32_t kind) noexcept {
    return kind < std::size(kTypeKindNames) ? kTypeKindNames[kind] : "";
}

// ---- Descriptors -----------------------------------------------------------------

const FieldDescriptor* TypeDescriptor::FindField(std::string_view fieldName) const noexcept {
    auto it = fieldIndex.find(fieldName);
    return it == fieldIndex.end() ? nullptr : &fields[it->second];
}

const EnumeratorDescriptor* TypeDescriptor::FindEnumerator(std::string_view enumeratorName) const noexcept {
    auto it = enumerators.find(enumeratorName);
    return it == enumerators.end() ? nullptr : &it->second;
}

bool TypeDescriptor::HasEnumeratorValue(int32_t value) const noexcept {
    return EnumeratorName(value) != nullptr;
}

const char* TypeDescriptor::EnumeratorName(int32_t value) const noexcept {
    for (const auto& [name, enumerator] : enumerators) {
        if (enumerator.value == value) return enumerator.name.c_str();
    }
    return nullptr;
}

int32_t FunctionRecord::FindArgument(std::string_view argumentName) const noexcept {
    const uint32_t hash = Fnv1a(argumentName);
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i].nameHash == hash && arguments[i].name == argumentName) return static_cast<int32_t>(i);
    }
    return -1;
}

// ---- Registry --------------------------------------------------------------------

TypeRegistry::TypeRegistry() = default;
TypeRegistry::~TypeRegistry() = default;

const TypeDescriptor* TypeRegistry::FindType(const StaticType& identity) const { return FindTypeById(identity.id); }

const TypeDescriptor* TypeRegistry::FindTypeById(uint32_t typeId) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = typesById_.find(typeId);
    return it == typesById_.end() ? nullptr : it->second;
}

const TypeDescriptor* TypeRegistry::FindType(std::string_view name) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Find(typesByName_, name);
}

bool TypeRegistry::IsEnumeratorValue(const TypeDescriptor& type, int32_t value) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return type.HasEnumeratorValue(value);
}

const char* TypeRegistry::EnumeratorName(const StaticType& identity, int32_t value) const {
    return EnumeratorName(identity.id, value);
}

const char* TypeRegistry::EnumeratorName(uint32_t typeId, int32_t value) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = typesById_.find(typeId);
    return it == typesById_.end() ? nullptr : it->second->EnumeratorName(value);
}

std::vector<const FunctionRecord*> TypeRegistry::Functions() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Snapshot(functionsByName_);
}

std::vector<const TypeDescriptor*> TypeRegistry::Types() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Snapshot(typesByName_);
}

std::vector<const EventRecord*> TypeRegistry::Events() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Snapshot(eventsByName_);
}

size_t TypeRegistry::FunctionCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return functionsByName_.size();
}

EventRecord* TypeRegistry::RegisterEvent(std::string_view name, const TypeDescriptor* payload, bool* existed) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto [it, inserted] = eventsByName_.try_emplace(std::string(name));
    if (inserted) {
        it->second = std::make_unique<EventRecord>();
        it->second->name = it->first;
        it->second->payload = payload;
    }
    if (existed != nullptr) *existed = !inserted;
    return it->second.get();
}

FunctionRecord* TypeRegistry::RegisterFunction(std::string_view name, uint32_t argumentCount, bool* existed) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto [it, inserted] = functionsByName_.try_emplace(std::string(name));
    if (inserted) {
        it->second = std::make_unique<FunctionRecord>();
        it->second->name = it->first;
        it->second->arguments.reserve(argumentCount);
        it->second->registry = this;
    }
    if (existed != nullptr) *existed = !inserted;
    return it->second.get();
}

const EventRecord* TypeRegistry::FindEvent(std::string_view name) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Find(eventsByName_, name);
}

const FunctionRecord* TypeRegistry::FindFunction(std::string_view name) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return Find(functionsByName_, name);
}

void TypeRegistry::Reset() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (builtinsRegistered_) {
            // Functions and events point at descriptors: they go first.
            functionsByName_.clear();
            eventsByName_.clear();
            typesById_.clear();
            typesByName_.clear();
            builtinsRegistered_ = false;
        }
    }
    // Builders take the mutex themselves.
    RegisterBuiltins();
    std::lock_guard<std::mutex> guard(mutex_);
    builtinsRegistered_ = true;
}

bool TypeRegistry::BuiltinsRegistered() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return builtinsRegistered_;
}

// The asynchronous and callback types (which bring the help types along), then the
// "OnCallback" event, which needs its payload type registered.
void TypeRegistry::RegisterBuiltins() {
    RegisterAsyncBuiltins(*this);
    RegisterCallbackEvent(*this);
}

// ---- Type builder ----------------------------------------------------------------

TypeBuilder::TypeBuilder(TypeRegistry& registry, uint32_t nativeSize, std::string_view name,
                         const StaticType& identity, bool isEnum)
    : registry_(registry) {
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    auto [it, inserted] = registry_.typesByName_.try_emplace(std::string(name));
    exists_ = !inserted;
    if (exists_) {
        descriptor_ = it->second.get();
        return;
    }
    it->second = std::make_unique<TypeDescriptor>();
    descriptor_ = it->second.get();
    descriptor_->nativeSize = nativeSize;
    descriptor_->isEnum = isEnum;
    descriptor_->name = it->first;
    descriptor_->typeId = identity.id;
    descriptor_->identity = &identity;
    descriptor_->registry = &registry_;
    if (identity.id != StaticType::Placeholder().id) registry_.typesById_.try_emplace(identity.id, descriptor_);
}

const TypeDescriptor* TypeBuilder::FinishFor(const StaticType& identity) const {
    if (descriptor_->typeId == identity.id) return descriptor_;
    Log(kLogError, kCategoryDBG, "Type %s is already registered for %s; %s is not bound to it.",
        descriptor_->name.c_str(), descriptor_->identity != nullptr ? descriptor_->identity->name : "",
        identity.name);
    return nullptr;
}

TypeBuilder& TypeBuilder::Enumerator(std::string_view name, int32_t value, std::string_view description) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    auto [it, inserted] = descriptor_->enumerators.try_emplace(std::string(name));
    EnumeratorDescriptor& e = it->second;
    if (inserted) {
        e.name = it->first;
        e.owner = descriptor_;
    }
    e.value = value;
    e.description = description;
    return *this;
}

TypeBuilder& TypeBuilder::Field(std::string_view name, std::string_view description, uint32_t offset,
                                const StaticType& identity, const TypeReference& type,
                                const TypeReference& secondType, uint32_t flags,
                                std::unique_ptr<FieldConverter> converter, bool optional) {
    if (exists_) return *this;
    // Another type's descriptor would convert with its size and values; the
    // placeholder identity tells nothing either way.
    const uint32_t placeholder = StaticType::Placeholder().id;
    const bool foreign = (type.kind == BindingTypeKind::Enum || type.kind == BindingTypeKind::Struct) &&
                         type.descriptor != nullptr && type.descriptor->typeId != identity.id &&
                         identity.id != placeholder && type.descriptor->typeId != placeholder;
    if (foreign) {
        Log(kLogError, kCategoryDBG, "Field %.*s of %s is not bound to type %s, which describes another native type.",
            static_cast<int>(name.size()), name.data(), descriptor_->name.c_str(), type.descriptor->name.c_str());
    }
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    FieldDescriptor& f = descriptor_->fields.emplace_back();
    f.name = name;
    f.nameHash = Fnv1a(name);
    f.description = description;
    f.identity = &identity;
    f.offset = offset;
    f.type = type;
    if (foreign) f.type.descriptor = nullptr;
    if (secondType.kind != BindingTypeKind::None) f.secondType = secondType;
    f.flags = flags;
    f.converter = std::move(converter);
    f.owner = descriptor_;
    f.optional = optional;
    // A repeated name keeps indexing its first field.
    descriptor_->fieldIndex.try_emplace(f.name, descriptor_->fields.size() - 1);
    ++index_;
    return *this;
}

TypeBuilder& TypeBuilder::Description(std::string_view description) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    descriptor_->description = description;
    return *this;
}

TypeBuilder& TypeBuilder::NameSpace(std::string_view nameSpace) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    descriptor_->nameSpace = nameSpace;
    return *this;
}

TypeBuilder& TypeBuilder::Tags(std::vector<std::string> tags) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    descriptor_->tags = std::move(tags);
    return *this;
}

TypeBuilder& TypeBuilder::Tag(std::string_view tag) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    descriptor_->tags.emplace_back(tag);
    return *this;
}

// ---- Function builder ------------------------------------------------------------

FunctionBuilder::FunctionBuilder(TypeRegistry& registry, std::string_view name, uint32_t argumentCount)
    : registry_(registry) {
    bool existed = false;
    function_ = registry.RegisterFunction(name, argumentCount, &existed);
    exists_ = existed;
}

FunctionBuilder& FunctionBuilder::Argument(std::string_view name, std::string_view description, bool optional,
                                           const TypeReference& type, const TypeReference& secondType) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    ArgumentRecord& a = function_->arguments.emplace_back();
    a.name = name;
    a.nameHash = Fnv1a(name);
    a.description = description;
    a.optional = optional;
    a.type = type;
    if (secondType.kind != BindingTypeKind::None) a.secondType = secondType;
    return *this;
}

FunctionBuilder& FunctionBuilder::Returns(const TypeReference& type, const TypeReference& secondType) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->returnType = type;
    if (secondType.kind != BindingTypeKind::None) function_->secondReturnType = secondType;
    return *this;
}

FunctionBuilder& FunctionBuilder::Description(std::string_view description) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->description = description;
    return *this;
}

FunctionBuilder& FunctionBuilder::Help(std::string_view help) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->help = help;
    return *this;
}

FunctionBuilder& FunctionBuilder::NameSpace(std::string_view nameSpace) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->nameSpace = nameSpace;
    return *this;
}

FunctionBuilder& FunctionBuilder::Tags(std::vector<std::string> tags) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->tags = std::move(tags);
    return *this;
}

FunctionBuilder& FunctionBuilder::Tag(std::string_view tag) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->tags.emplace_back(tag);
    return *this;
}

FunctionBuilder& FunctionBuilder::ThreadSafe(bool threadSafe) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->threadSafe = threadSafe;
    return *this;
}

FunctionBuilder& FunctionBuilder::Async(bool async) {
    if (exists_) return *this;
    std::lock_guard<std::mutex> guard(registry_.mutex_);
    function_->async = async;
    return *this;
}

}  // namespace Vemi::Binding
