#include <cstddef>
#include <cstdint>

#include <kav/formats/yaml_reader.h>
#include "fuzz_walks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto result = Vemi::Formats::DecodeYaml(reinterpret_cast<const char*>(data), size);
    Vemi::Formats::Fuzz::Walk(result);
    return 0;
}
