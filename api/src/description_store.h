// Storage of one built API description: every entry array, node list and tag array
// the top record reaches. Arrays are sized before they are filled, so the pointers
// between entries stay valid.
#pragma once

#include <deque>
#include <map>
#include <string_view>
#include <vector>

#include <kav/api/api_context.h>

namespace Vemi::Api {

struct ApiContext::DescriptionStore {
    ApiDescription top{};
    std::vector<ApiFunctionEntry> functions;
    std::vector<ApiParameterEntry> parameters;
    std::vector<ApiLocationNode> locations;
    std::vector<ApiTypeEntry> types;
    std::vector<ApiFieldEntry> fields;
    std::vector<ApiEnumeratorEntry> enumerators;
    std::vector<ApiEventEntry> events;
    std::deque<std::vector<const char*>> tagArrays;

    // One entry per endpoint, in name order; handler contexts are left to the caller.
    void AddFunctions(const std::map<std::string_view, Endpoint*>& endpoints, const Binding::TypeRegistry& registry);
    void AddTypes(const std::vector<const Binding::TypeDescriptor*>& registered);
    void AddEvents(const std::vector<const Binding::EventRecord*>& registered);
    // Points the top record at the arrays.
    void Finish() noexcept;

private:
    void DescribeFunction(ApiFunctionEntry& entry, const Binding::FunctionRecord& function, size_t& nextParameter);
    void DescribeEndpoint(ApiFunctionEntry& entry, const Endpoint& endpoint, size_t& nextLocation);
    void DescribeEnumerators(ApiTypeEntry& entry, const Binding::TypeDescriptor& type, size_t& nextEnumerator);
    void DescribeFields(ApiTypeEntry& entry, const Binding::TypeDescriptor& type, size_t& nextField);
    // The texts as a pointer array kept in the store; null for none.
    const char* const* Tags(const std::vector<std::string>& texts);
};

}  // namespace Vemi::Api
