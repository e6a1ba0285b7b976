#include <cstddef>
#include <cstdint>

#include <kav/formats/msgpack_reader.h>
#include "fuzz_walks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t consumed = 0;
    auto result = Vemi::Formats::DecodeMessagePack(data, size, &consumed);
    if (consumed > size) __builtin_trap();
    Vemi::Formats::Fuzz::Walk(result);
    return 0;
}
