// The bound API of one plugin runtime: endpoints, the request handler the host calls
// for each of them, and the description of the whole API handed to the host.
//
//   class MyRuntime : public Vemi::Api::ApiContext { ... };
//   runtime.SetApiNamePrefix("KavPreEndOfGame");
//   runtime.BindEndpoint(HttpMethod::Post, "/kav-pre-end-of-game/v1/registration/{sequenceEventName}/{priority}",
//                        plugin, &PreEndOfGamePlugin::RegisterSequenceEvent, {"sequenceEventName", "priority"});
//   runtime.BindEndpoint(HttpMethod::Get, "/kav-pre-end-of-game/v1/currentSequenceEvent",
//                        plugin, &PreEndOfGamePlugin::GetCurrentSequenceEvent, {});
//   const ApiDescription* description = runtime.BuildApiDescription();   // handed to the host
//
// The host then calls HandleRequest with a request whose handler context is the one
// the description gives for the function. A bound member function takes bindable
// parameters (by value or const reference; see kav/binding/typed.h) and, optionally, a
// `const RequestInfo&` / `const RequestInfo*` (details of the request) and an
// `ApiResponse&` / `ApiResponse*` (to set status, content type, headers or a stream);
// those two are not arguments and take no parameter name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <kav/api/http.h>
#include <kav/api/route.h>
#include <kav/binding/registry.h>
#include <kav/binding/static_type.h>
#include <kav/binding/type.h>
#include <kav/binding/typed.h>
#include <kav/binding/value.h>
#include <kav/host_abi.h>
#include <kav/platform/platform.h>

namespace Vemi::Api {

class ApiContext;
struct Endpoint;

// The "" that stands for "no text" in replies and in the API description. A reply's
// content type equal to this pointer is not freed.
[[nodiscard]] const char* SharedEmptyText() noexcept;

// Reads a streamed reply body. Its first operation is read (ApiStreamReadFn without
// the reader): fills up to *size bytes, sets *size to the count and *more to 0 at the
// end; answers 0 on a failure, any other 32-bit value on success. Owned by the stream
// that opened it.
class StreamReader {
public:
    virtual uint32_t Read(void* buffer, uint32_t* size, uint8_t* more) noexcept = 0;

protected:
    ~StreamReader() = default;
};

// A reply body produced in pieces. Moved into the reply, which destroys it through
// its stream-release function.
class ResponseStream {
public:
    // Expected size in bytes, 0 when unknown (not used by dispatch).
    [[nodiscard]] virtual uint64_t SizeHint() const noexcept { return 0; }
    // The reader of the body; it lives as long as the stream. Null: no body.
    [[nodiscard]] virtual StreamReader* Open() noexcept = 0;
    virtual ~ResponseStream() = default;
};

// Per-request call state filled by the function and the dispatcher.
struct ApiResponse {
    Binding::BindingResult result;  // starts ok and empty
    uint8_t responseFlag = 0;
    uint32_t responseMode = 0;  // 1, 2 or 3 reach the host, anything else goes as 0
    uint32_t status = 0;        // 0: the function set none
    std::string contentType;
    std::unordered_map<std::string, std::string> headers;
    std::unique_ptr<ResponseStream> stream;

    // A dispatch failure: the message replaces the result and any stream is dropped.
    void Fail(std::string_view message) {
        result.Fail(message);
        stream.reset();
    }
};

// What a function learns about the request that called it, when it asks for it.
struct RequestInfo {
    uint32_t requestContext = 0;
    std::string source;                                  // left empty by dispatch
    ApiContext* context = nullptr;                       // the owning runtime
    uint64_t receivedTicks = 0;                          // 100 ns since the Unix epoch
    HttpMethod method = HttpMethod::None;
    std::string customMethod;                            // set with HttpMethod::Custom
    std::string path;                                    // as delivered, query included
    std::vector<std::string> items;                      // left empty by dispatch
    std::unordered_map<std::string, std::string> headers;  // every request header
    std::unordered_map<std::string, std::string> attributes;  // left empty by dispatch
    std::string note;                                    // left empty by dispatch
    uint32_t version = 1;
};

// 100-ns ticks between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;

// The two request-information identities: a function takes the record by reference
// or by pointer.
[[nodiscard]] inline const Binding::StaticType& RequestInfoType() noexcept {
    return Binding::StaticType::Of<RequestInfo>();
}
[[nodiscard]] inline const Binding::StaticType& RequestInfoPointerType() noexcept {
    return Binding::StaticType::Of<const RequestInfo*>();
}

// Room the dispatcher lends a callable for its prepared arguments, so that small
// argument sets need no allocation. Lives until the callable's Release.
struct alignas(std::max_align_t) ArgumentStorage {
    static constexpr size_t kSize = 256;
    unsigned char bytes[kSize];
};

// Converts argument values to native arguments and calls the native function.
// Operations in this order; destroyed when the runtime drops its endpoints.
class Callable {
public:
    // Converts `arguments` (one value per function parameter) to native arguments,
    // reporting failures into `response`; answers the prepared arguments or null.
    [[nodiscard]] virtual void* Prepare(ApiResponse& response, std::span<Binding::BindingValue> arguments,
                                        uint32_t requestContext, ArgumentStorage& storage) = 0;
    // Runs the function on prepared arguments; stores its result into `response`.
    virtual void Call(ApiResponse& response, const RequestInfo* info, void* prepared, uint32_t requestContext) = 0;
    // Frees what Prepare answered (null is ignored).
    virtual void Release(void* prepared) noexcept = 0;
    // Number of arguments the function takes (not used by dispatch).
    [[nodiscard]] virtual size_t ArgumentCount() const noexcept = 0;
    // The identity of the request-information parameter, or null when there is none.
    [[nodiscard]] virtual const Binding::StaticType* RequestInfoType() const noexcept = 0;
    virtual ~Callable() = default;
};

// The address of one bound function. Owned by the ApiContext; created when the
// function is bound, destroyed with the context (or by ClearEndpoints).
struct Endpoint {
    const Binding::FunctionRecord* function = nullptr;
    std::unique_ptr<Callable> callable;
    std::string path;  // normalised path template
    HttpMethod method = HttpMethod::None;
    std::string customMethod;  // meaningful with HttpMethod::Custom
    uint8_t flag = 0;          // passed to the host; nothing here sets it
    std::vector<std::vector<std::string>> stringGroups;  // passed to the host; nothing here fills them
    std::vector<ArgumentLocation> locations;             // by parameter index

    // The route, compiled once from RouteTemplate(). A request whose endpoint's
    // template changed since (path edited without Recompile) compiles its own.
    RoutePattern pattern;
    std::string compiledTemplate;

    // Parameter name lookup, built once with the route: open addressing over the
    // names' FNV-1a hashes, slots hold index + 1 (0 empty).
    std::vector<uint32_t> nameSlots;
    // Per parameter: the header name it is read from (the name in lower case).
    std::vector<std::string> headerNames;

    // Setting the method always clears the custom method text.
    void SetMethod(HttpMethod newMethod, std::string_view custom = {});
    // Declares where parameter `index` comes from, growing the list when needed.
    void DeclareLocation(size_t index, ArgumentLocation location);
    [[nodiscard]] ArgumentLocation LocationOf(size_t index) const noexcept {
        return index < locations.size() ? locations[index] : ArgumentLocation::Unspecified;
    }
    // The path template, or the function's name when the path is empty.
    [[nodiscard]] std::string_view RouteTemplate() const noexcept;
    // Compiles the route and the name lookup; called on declaration and after the
    // path changed. May throw std::bad_alloc.
    void Recompile();
    // The parameter of that name (first of equal names), or -1.
    [[nodiscard]] int32_t FindParameter(std::string_view name) const noexcept;
};

// What a description entry's handler context points at.
struct HandlerContext {
    ApiContext* context = nullptr;
    Endpoint* endpoint = nullptr;  // null once the endpoints were cleared
};

class ApiContext {
public:
    ApiContext();
    virtual ~ApiContext();
    ApiContext(const ApiContext&) = delete;
    ApiContext& operator=(const ApiContext&) = delete;

    [[nodiscard]] Binding::TypeRegistry& Registry() noexcept { return registry_; }
    [[nodiscard]] const Binding::TypeRegistry& Registry() const noexcept { return registry_; }

    // Put before the names of types that binding registers on the way.
    void SetApiNamePrefix(std::string prefix);
    [[nodiscard]] const std::string& ApiNamePrefix() const noexcept { return prefix_; }

    // Binds object.*function under the name derived from method and path. Parameters
    // are typed from the member function (struct and enum types are registered with
    // the name prefix unless already present); parameterNames name its arguments in
    // order, and each one that the template captures becomes a path parameter.
    // Answers the endpoint, or null when a function of that name existed (the first
    // is kept) or the names do not match the arguments in number.
    template <class C, class R, class... A>
    Endpoint* BindEndpoint(HttpMethod method, std::string_view pathTemplate, C& object, R (C::*function)(A...),
                           std::initializer_list<std::string_view> parameterNames) {
        return Bind<C, R (C::*)(A...), R, A...>(method, pathTemplate, object, function, parameterNames);
    }
    template <class C, class R, class... A>
    Endpoint* BindEndpoint(HttpMethod method, std::string_view pathTemplate, C& object,
                           R (C::*function)(A...) const, std::initializer_list<std::string_view> parameterNames) {
        return Bind<C, R (C::*)(A...) const, R, A...>(method, pathTemplate, object, function, parameterNames);
    }

    // The general form: an endpoint for a registered function with its callable.
    // Stores the normalised path and the method; every capture of the template that
    // names a parameter of the function becomes a path parameter. Answers null (and
    // drops the callable) when the function already has an endpoint.
    Endpoint* DeclareEndpoint(const Binding::FunctionRecord& function, HttpMethod method,
                              std::string_view pathTemplate, std::unique_ptr<Callable> callable);

    [[nodiscard]] Endpoint* FindEndpoint(const Binding::FunctionRecord* function) const;
    // A copy of the endpoint map, taken under the lock.
    [[nodiscard]] std::vector<std::pair<const Binding::FunctionRecord*, Endpoint*>> EndpointsSnapshot() const;

    // Builds the description of every function with an endpoint and of every
    // registered type and event. Owned by the context until rebuilt or destroyed;
    // texts point into the registry and the endpoints.
    const ApiDescription* BuildApiDescription();
    [[nodiscard]] const ApiDescription* Description() const noexcept;

    // Destroys endpoints and callables (at teardown); the description goes with them,
    // and a late request for one of them answers "Invalid function".
    void ClearEndpoints();

protected:
    // Guards the endpoint map and the handler contexts.
    mutable Platform::RecursiveLock lock_;

private:
    struct DescriptionStore;

    // Registers the function, its parameters and result, and declares the endpoint
    // with a MemberCallable (kav/api/detail/member_callable.h).
    template <class C, class F, class R, class... A>
    Endpoint* Bind(HttpMethod method, std::string_view pathTemplate, C& object, F function,
                   std::initializer_list<std::string_view> parameterNames);
    template <class P>
    void AddArgument(Binding::FunctionBuilder& builder, const std::string_view*& name);

    Binding::TypeRegistry registry_;
    std::string prefix_;
    std::unordered_map<const Binding::FunctionRecord*, std::unique_ptr<Endpoint>> endpoints_;
    std::map<std::string, std::unique_ptr<HandlerContext>, std::less<>> handlerContexts_;
    std::unique_ptr<DescriptionStore> description_;
};

// The request handler every description entry names (ApiRequestHandler). Never
// throws: an exception inside answers the error text "Internal error", status 500.
void KAV_ABI HandleRequest(ApiReply* reply, const ApiRequest* request) noexcept;

}  // namespace Vemi::Api

// The member-function binding behind BindEndpoint.
#include <kav/api/detail/member_callable.h>
