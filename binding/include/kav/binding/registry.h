// TypeRegistry: the bound types, functions and events of one plugin runtime, with
// the builders that register them. Every registration and query takes the
// registry's mutex; descriptors are then read without it.
//
//   TypeBuilder phase(registry, sizeof(GameflowPhase), "KavPreEndOfGameGameflowPhase",
//                     StaticType::Of<GameflowPhase>(), /*isEnum=*/true);
//   if (!phase.Exists()) phase.Enumerator("None", 0).Enumerator("Lobby", 1);
//   const TypeDescriptor* phaseType = phase.Finish();
//
//   TypeBuilder event(registry, sizeof(SequenceEvent), "KavPreEndOfGameSequenceEvent",
//                     StaticType::Of<SequenceEvent>(), false);
//   event.Field("name", "", offsetof(SequenceEvent, name), StaticType::Of<std::string>(),
//               {BindingTypeKind::String}, {}, 0, std::make_unique<MyStringConverter>());
//
//   FunctionBuilder f(registry, "PostV1Thing", 1);
//   f.Argument("id", "", false, {BindingTypeKind::String}).Returns({BindingTypeKind::None});
//
// A second registration of a name keeps the first record: the builder reports
// Exists() and ignores everything added through it. A field of enum or struct kind
// is bound only to the descriptor of its own native type.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <kav/binding/type.h>

namespace Vemi::Binding {

class TypeRegistry {
public:
    TypeRegistry();
    ~TypeRegistry();
    TypeRegistry(const TypeRegistry&) = delete;
    TypeRegistry& operator=(const TypeRegistry&) = delete;

    [[nodiscard]] const TypeDescriptor* FindType(const StaticType& identity) const;
    [[nodiscard]] const TypeDescriptor* FindTypeById(uint32_t typeId) const;
    [[nodiscard]] const TypeDescriptor* FindType(std::string_view name) const;
    [[nodiscard]] bool IsEnumeratorValue(const TypeDescriptor& type, int32_t value) const;
    // The first enumerator in name order of the enum with that identity whose value
    // matches, or null.
    [[nodiscard]] const char* EnumeratorName(const StaticType& identity, int32_t value) const;
    [[nodiscard]] const char* EnumeratorName(uint32_t typeId, int32_t value) const;

    // Copies of the lists, each in name order.
    [[nodiscard]] std::vector<const FunctionRecord*> Functions() const;
    [[nodiscard]] std::vector<const TypeDescriptor*> Types() const;
    [[nodiscard]] std::vector<const EventRecord*> Events() const;
    [[nodiscard]] size_t FunctionCount() const;

    // Creates and enters the record; a name already registered answers the existing
    // record with `existed` set. The caller fills the rest.
    [[nodiscard]] EventRecord* RegisterEvent(std::string_view name, const TypeDescriptor* payload,
                                             bool* existed = nullptr);
    [[nodiscard]] FunctionRecord* RegisterFunction(std::string_view name, uint32_t argumentCount,
                                                   bool* existed = nullptr);
    [[nodiscard]] const EventRecord* FindEvent(std::string_view name) const;
    [[nodiscard]] const FunctionRecord* FindFunction(std::string_view name) const;

    // Once built-ins were registered, drops every function, event and type; then
    // registers the built-in types and events again.
    void Reset();
    [[nodiscard]] bool BuiltinsRegistered() const;

private:
    friend class TypeBuilder;
    friend class FunctionBuilder;

    // Registers the built-in asynchronous, callback and help types and their event.
    void RegisterBuiltins();

    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<TypeDescriptor>, std::less<>> typesByName_;
    std::unordered_map<uint32_t, TypeDescriptor*> typesById_;
    std::map<std::string, std::unique_ptr<FunctionRecord>, std::less<>> functionsByName_;
    std::map<std::string, std::unique_ptr<EventRecord>, std::less<>> eventsByName_;
    bool builtinsRegistered_ = false;
};

class TypeBuilder {
public:
    // Looks the name up; registers a new descriptor unless one of that name exists.
    TypeBuilder(TypeRegistry& registry, uint32_t nativeSize, std::string_view name, const StaticType& identity,
                bool isEnum);

    [[nodiscard]] bool Exists() const noexcept { return exists_; }

    // The following do nothing when the type existed before.
    // Inserts the enumerator, or replaces value and description of one of that name.
    TypeBuilder& Enumerator(std::string_view name, int32_t value, std::string_view description = {});
    TypeBuilder& Field(std::string_view name, std::string_view description, uint32_t offset,
                       const StaticType& identity, const TypeReference& type, const TypeReference& secondType = {},
                       uint32_t flags = 0, std::unique_ptr<FieldConverter> converter = nullptr,
                       bool optional = false);
    TypeBuilder& Description(std::string_view description);
    TypeBuilder& NameSpace(std::string_view nameSpace);
    TypeBuilder& Tags(std::vector<std::string> tags);
    TypeBuilder& Tag(std::string_view tag);

    // The registered descriptor (the earlier one when the type existed).
    [[nodiscard]] const TypeDescriptor* Finish() const noexcept { return descriptor_; }
    // The same, but only when the descriptor is that native type's own: a name taken
    // by another type is logged and answers null.
    [[nodiscard]] const TypeDescriptor* FinishFor(const StaticType& identity) const;

private:
    TypeRegistry& registry_;
    TypeDescriptor* descriptor_ = nullptr;
    uint32_t index_ = 0;  // fields added so far
    bool exists_ = false;
};

class FunctionBuilder {
public:
    FunctionBuilder(TypeRegistry& registry, std::string_view name, uint32_t argumentCount);

    [[nodiscard]] bool Exists() const noexcept { return exists_; }

    // The following do nothing when the function existed before.
    FunctionBuilder& Argument(std::string_view name, std::string_view description, bool optional,
                              const TypeReference& type, const TypeReference& secondType = {});
    FunctionBuilder& Returns(const TypeReference& type, const TypeReference& secondType = {});
    FunctionBuilder& Description(std::string_view description);
    FunctionBuilder& Help(std::string_view help);
    FunctionBuilder& NameSpace(std::string_view nameSpace);
    FunctionBuilder& Tags(std::vector<std::string> tags);
    FunctionBuilder& Tag(std::string_view tag);
    FunctionBuilder& ThreadSafe(bool threadSafe);
    FunctionBuilder& Async(bool async);

    [[nodiscard]] FunctionRecord* Finish() const noexcept { return function_; }

private:
    TypeRegistry& registry_;
    FunctionRecord* function_ = nullptr;
    bool exists_ = false;
};

}  // namespace Vemi::Binding
