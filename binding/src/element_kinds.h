// The native element types of the built-in vector and map element kinds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kav/binding/type.h>
#include <kav/binding/value.h>

namespace Vemi::Binding::detail {

// Calls visit with a null pointer of the native type of a built-in element kind;
// answers false (without calling) for any other kind.
template <class F>
bool VisitBuiltinElement(BindingTypeKind kind, F&& visit) {
    switch (kind) {
        case BindingTypeKind::Bool: visit(static_cast<bool*>(nullptr)); return true;
        case BindingTypeKind::Int8: visit(static_cast<int8_t*>(nullptr)); return true;
        case BindingTypeKind::UInt8: visit(static_cast<uint8_t*>(nullptr)); return true;
        case BindingTypeKind::Int16: visit(static_cast<int16_t*>(nullptr)); return true;
        case BindingTypeKind::UInt16: visit(static_cast<uint16_t*>(nullptr)); return true;
        case BindingTypeKind::Int32: visit(static_cast<int32_t*>(nullptr)); return true;
        case BindingTypeKind::UInt32: visit(static_cast<uint32_t*>(nullptr)); return true;
        case BindingTypeKind::Int64: visit(static_cast<int64_t*>(nullptr)); return true;
        case BindingTypeKind::UInt64: visit(static_cast<uint64_t*>(nullptr)); return true;
        case BindingTypeKind::Float: visit(static_cast<float*>(nullptr)); return true;
        case BindingTypeKind::Double: visit(static_cast<double*>(nullptr)); return true;
        case BindingTypeKind::String: visit(static_cast<std::string*>(nullptr)); return true;
        case BindingTypeKind::Object: visit(static_cast<BindingValue*>(nullptr)); return true;
        case BindingTypeKind::Blob: visit(static_cast<std::vector<uint8_t>*>(nullptr)); return true;
        default: return false;
    }
}

}  // namespace Vemi::Binding::detail
