// The binding of member functions behind ApiContext::BindEndpoint: which parameters
// are arguments, the callable that converts and stores them, and Bind itself. Only
// api_context.h includes this, after the types it uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include <kav/api/api_context.h>
#include <kav/binding/registry.h>
#include <kav/binding/typed.h>

namespace Vemi::Api {

namespace detail {

template <class T>
using Bare = std::remove_cvref_t<T>;

template <class T>
inline constexpr bool kIsRequestInfoParameter =
    std::is_same_v<Bare<T>, RequestInfo> || std::is_same_v<Bare<T>, const RequestInfo*> ||
    std::is_same_v<Bare<T>, RequestInfo*>;
template <class T>
inline constexpr bool kIsResponseParameter =
    (std::is_same_v<Bare<T>, ApiResponse> && std::is_lvalue_reference_v<T> && !std::is_const_v<std::remove_reference_t<T>>) ||
    std::is_same_v<Bare<T>, ApiResponse*>;
template <class T>
inline constexpr bool kIsArgument = !kIsRequestInfoParameter<T> && !kIsResponseParameter<T>;

struct NoArgument {};
template <class T>
using Stored = std::conditional_t<kIsArgument<T>, Bare<T>, NoArgument>;

// For each parameter position: its argument index, or -1.
template <class... A>
constexpr std::array<int32_t, sizeof...(A) + 1> ArgumentIndexes() noexcept {
    std::array<int32_t, sizeof...(A) + 1> indexes{};
    const bool isArgument[] = {kIsArgument<A>..., false};
    int32_t next = 0;
    for (size_t i = 0; i < sizeof...(A); ++i) indexes[i] = isArgument[i] ? next++ : -1;
    indexes[sizeof...(A)] = next;
    return indexes;
}

template <class... A>
constexpr const Binding::StaticType* RequestInfoIdentity() noexcept {
    const Binding::StaticType* identity = nullptr;
    ((identity = identity != nullptr ? identity
                 : !kIsRequestInfoParameter<A> ? nullptr
                 : std::is_pointer_v<Bare<A>> ? &RequestInfoPointerType()
                                              : &RequestInfoType()),
     ...);
    return identity;
}

// The callable of a member function bound by BindEndpoint.
template <class C, class F, class R, class... A>
class MemberCallable final : public Callable {
    using Arguments = std::tuple<Stored<A>...>;
    static constexpr auto kIndexes = ArgumentIndexes<A...>();
    static constexpr bool kInPlace =
        sizeof(Arguments) <= ArgumentStorage::kSize && alignof(Arguments) <= alignof(ArgumentStorage);

public:
    MemberCallable(C& object, F function, const Binding::FunctionRecord& record, const Binding::TypeRegistry& registry)
        : object_(object), function_(function), record_(record), registry_(registry) {}

    void* Prepare(ApiResponse& response, std::span<Binding::BindingValue> arguments, uint32_t,
                  ArgumentStorage& storage) override {
        Arguments* prepared = kInPlace ? new (storage.bytes) Arguments() : new Arguments();
        try {
            Convert(response, *prepared, arguments, std::index_sequence_for<A...>{});
        } catch (...) {
            Release(prepared);
            throw;
        }
        if (response.result.Ok()) return prepared;
        Release(prepared);
        return nullptr;
    }

    void Call(ApiResponse& response, const RequestInfo* info, void* prepared, uint32_t) override {
        if (prepared == nullptr) return;
        Invoke(response, info, *static_cast<Arguments*>(prepared), std::index_sequence_for<A...>{});
    }

    void Release(void* prepared) noexcept override {
        if (prepared == nullptr) return;
        if constexpr (kInPlace) static_cast<Arguments*>(prepared)->~Arguments();
        else delete static_cast<Arguments*>(prepared);
    }

    size_t ArgumentCount() const noexcept override { return static_cast<size_t>(kIndexes[sizeof...(A)]); }
    const Binding::StaticType* RequestInfoType() const noexcept override { return RequestInfoIdentity<A...>(); }

private:
    template <size_t... I>
    void Convert(ApiResponse& response, Arguments& prepared, [[maybe_unused]] std::span<Binding::BindingValue> values,
                 std::index_sequence<I...>) {
        (ConvertOne<I, A>(response, std::get<I>(prepared), values), ...);
    }

    template <size_t I, class P>
    void ConvertOne(ApiResponse& response, Stored<P>& native, std::span<Binding::BindingValue> values) {
        if constexpr (kIsArgument<P>) {
            constexpr int32_t index = kIndexes[I];
            if (!response.result.Ok()) return;
            const Binding::ArgumentRecord* argument =
                static_cast<size_t>(index) < record_.arguments.size() ? &record_.arguments[index] : nullptr;
            const Binding::BindingValue& input =
                static_cast<size_t>(index) < values.size() ? values[index] : Binding::BindingValue::Null();
            if (argument == nullptr) {
                Binding::ToNative(response.result, native, input, std::string_view{}, registry_);
            } else {
                Binding::ToNative(response.result, native, input, argument->name, argument->type, registry_);
            }
        }
    }

    template <class P>
    static decltype(auto) Pass(Stored<P>& stored, ApiResponse& response, const RequestInfo* info) {
        if constexpr (kIsArgument<P>) {
            return static_cast<std::conditional_t<std::is_reference_v<P>, P, P&&>>(stored);
        } else if constexpr (kIsResponseParameter<P>) {
            if constexpr (std::is_pointer_v<Bare<P>>) return &response;
            else return static_cast<ApiResponse&>(response);
        } else if constexpr (std::is_pointer_v<Bare<P>>) {
            return const_cast<Bare<P>>(info);
        } else {
            return static_cast<const RequestInfo&>(info != nullptr ? *info : EmptyInfo());
        }
    }

    static const RequestInfo& EmptyInfo() {
        static const RequestInfo empty;
        return empty;
    }

    template <size_t... I>
    void Invoke(ApiResponse& response, const RequestInfo* info, Arguments& prepared, std::index_sequence<I...>) {
        if constexpr (std::is_void_v<R>) {
            (object_.*function_)(Pass<A>(std::get<I>(prepared), response, info)...);
        } else {
            const R value = (object_.*function_)(Pass<A>(std::get<I>(prepared), response, info)...);
            Binding::ToValue(response.result, value, record_.returnType, registry_);
        }
    }

    C& object_;
    F function_;
    const Binding::FunctionRecord& record_;
    const Binding::TypeRegistry& registry_;
};

}  // namespace detail

template <class C, class F, class R, class... A>
Endpoint* ApiContext::Bind(HttpMethod method, std::string_view pathTemplate, C& object, F function,
                           std::initializer_list<std::string_view> parameterNames) {
    constexpr size_t argumentCount = static_cast<size_t>(detail::ArgumentIndexes<A...>()[sizeof...(A)]);
    if (parameterNames.size() != argumentCount) return nullptr;
    Binding::FunctionBuilder builder(registry_, DeriveFunctionName(HttpMethodText(method), pathTemplate),
                                     static_cast<uint32_t>(argumentCount));
    if (builder.Exists()) return nullptr;
    const std::string_view* name = parameterNames.begin();
    (AddArgument<A>(builder, name), ...);
    (void)name;
    if constexpr (!std::is_void_v<R>) {
        builder.Returns(Binding::detail::RegisterReference<detail::Bare<R>>(registry_, prefix_));
    }
    Binding::FunctionRecord* record = builder.Finish();
    return DeclareEndpoint(*record, method, pathTemplate,
                           std::make_unique<detail::MemberCallable<C, F, R, A...>>(object, function, *record, registry_));
}

template <class P>
void ApiContext::AddArgument(Binding::FunctionBuilder& builder, const std::string_view*& name) {
    if constexpr (detail::kIsArgument<P>) {
        using T = detail::Bare<P>;
        static_assert(Binding::KindOf<T>() != Binding::BindingTypeKind::None, "not a bindable parameter type");
        builder.Argument(*name++, {}, Binding::detail::OptionalTraits<T>::kIs,
                         Binding::detail::RegisterReference<T>(registry_, prefix_));
    }
}

}  // namespace Vemi::Api
