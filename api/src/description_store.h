// Storage of one built API description: every entry array, node list and tag array
// the top record reaches. Arrays are sized before they are filled, so the pointers
// between entries stay valid.
#pragma once

#include <deque>
#include <vector>

#include "api/api_context.h"

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
};

}  // namespace Vemi::Api
