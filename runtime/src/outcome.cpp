#include <kav/runtime/outcome.h>

namespace Vemi {

void ApiError::SetCode(uint32_t value) {
    code = value;
    if (value != 0) fields["errorCode_int"] = FieldValue::Unsigned(value);
}

ApiError MakeRequestError(const char* templateText, Api::HttpMethod method, std::string_view url,
                          std::string_view error, uint32_t code) {
    const FieldValue arguments[] = {FieldValue::Text(Api::HttpMethodText(method)), FieldValue::Text(url),
                                    FieldValue::Text(error)};
    ApiError result;
    std::string format;
    ExpandTemplate(templateText, arguments, 3, format, result.fields);
    result.message = FormatTemplateMessage(format.c_str(), arguments, 3);
    result.SetCode(code);
    return result;
}

}  // namespace Vemi
