// Endpoints: declaration, the compiled route and the parameter lookup, and the map
// the context keeps them in.
#include <kav/api/api_context.h>

#include <cctype>
#include <mutex>

#include "description_store.h"
#include <kav/binding/hash.h>

namespace Vemi::Api {
namespace {

constexpr char kEmptyText[] = "";

}  // namespace

const char* SharedEmptyText() noexcept { return kEmptyText; }

// ---- Endpoint ------------------------------------------------------------------------

void Endpoint::SetMethod(HttpMethod newMethod, std::string_view custom) {
    method = newMethod;
    customMethod.assign(custom);
}

void Endpoint::DeclareLocation(size_t index, ArgumentLocation location) {
    if (index >= locations.size()) locations.resize(index + 1, ArgumentLocation::Unspecified);
    locations[index] = location;
}

std::string_view Endpoint::RouteTemplate() const noexcept {
    if (!path.empty() || function == nullptr) return path;
    return function->name;
}

void Endpoint::Recompile() {
    const std::string_view routeTemplate = RouteTemplate();
    pattern = RoutePattern(routeTemplate);
    compiledTemplate.assign(routeTemplate);

    const size_t count = function != nullptr ? function->arguments.size() : 0;
    size_t slots = 4;
    while (slots < count * 2) slots *= 2;
    nameSlots.assign(slots, 0);
    headerNames.assign(count, std::string());
    for (size_t i = 0; i < count; ++i) {
        const Binding::ArgumentRecord& argument = function->arguments[i];
        std::string& header = headerNames[i];
        header.reserve(argument.name.size());
        for (char c : argument.name) header += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // Equal names keep the first parameter.
        if (FindParameter(argument.name) >= 0) continue;
        uint32_t slot = Binding::Fnv1a(std::string_view(argument.name)) & (slots - 1);
        while (nameSlots[slot] != 0) slot = (slot + 1) & (slots - 1);
        nameSlots[slot] = static_cast<uint32_t>(i + 1);
    }
}

int32_t Endpoint::FindParameter(std::string_view name) const noexcept {
    if (nameSlots.empty() || function == nullptr) return -1;
    const uint32_t mask = static_cast<uint32_t>(nameSlots.size() - 1);
    for (uint32_t slot = Binding::Fnv1a(name) & mask;; slot = (slot + 1) & mask) {
        const uint32_t entry = nameSlots[slot];
        if (entry == 0) return -1;
        if (function->arguments[entry - 1].name == name) return static_cast<int32_t>(entry - 1);
    }
}

// ---- ApiContext ----------------------------------------------------------------------

ApiContext::ApiContext() = default;

ApiContext::~ApiContext() {
    ClearEndpoints();
}

void ApiContext::SetApiNamePrefix(std::string prefix) { prefix_ = std::move(prefix); }

Endpoint* ApiContext::DeclareEndpoint(const Binding::FunctionRecord& function, HttpMethod method,
                                      std::string_view pathTemplate, std::unique_ptr<Callable> callable) {
    auto endpoint = std::make_unique<Endpoint>();
    endpoint->function = &function;
    endpoint->callable = std::move(callable);
    endpoint->path = NormalizeEndpointPath(pathTemplate);
    endpoint->SetMethod(method);
    endpoint->locations.assign(function.arguments.size(), ArgumentLocation::Unspecified);
    // Path parameters in the order of the function's parameters.
    const TemplateTranslation translation = TranslateTemplate(endpoint->path);
    for (size_t i = 0; i < function.arguments.size(); ++i) {
        for (const RouteCapture& capture : translation.captures) {
            if (capture.name == function.arguments[i].name) {
                endpoint->DeclareLocation(i, ArgumentLocation::Path);
                break;
            }
        }
    }
    endpoint->Recompile();

    std::lock_guard<Platform::RecursiveLock> guard(lock_);
    auto [it, inserted] = endpoints_.try_emplace(&function);
    if (!inserted) return nullptr;
    it->second = std::move(endpoint);
    return it->second.get();
}

Endpoint* ApiContext::FindEndpoint(const Binding::FunctionRecord* function) const {
    std::lock_guard<Platform::RecursiveLock> guard(lock_);
    auto it = endpoints_.find(function);
    return it == endpoints_.end() ? nullptr : it->second.get();
}

std::vector<std::pair<const Binding::FunctionRecord*, Endpoint*>> ApiContext::EndpointsSnapshot() const {
    std::lock_guard<Platform::RecursiveLock> guard(lock_);
    std::vector<std::pair<const Binding::FunctionRecord*, Endpoint*>> snapshot;
    snapshot.reserve(endpoints_.size());
    for (const auto& [function, endpoint] : endpoints_) snapshot.emplace_back(function, endpoint.get());
    return snapshot;
}

const ApiDescription* ApiContext::Description() const noexcept {
    return description_ != nullptr ? &description_->top : nullptr;
}

void ApiContext::ClearEndpoints() {
    std::lock_guard<Platform::RecursiveLock> guard(lock_);
    for (auto& [name, handler] : handlerContexts_) handler->endpoint = nullptr;
    description_.reset();
    endpoints_.clear();
}

}  // namespace Vemi::Api
