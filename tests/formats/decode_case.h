// The reader tests' shared case: an input and its canonical text or error message.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <kav/formats/canonical_text.h>

struct DecodeCase {
    std::string input;
    std::string expected;  // canonical text, or the error message
};

// A decode result as one text: the value's canonical text, or the error message.
template <class Result>
std::string ResultText(const Result& result) {
    return result.Ok() ? Vemi::Formats::CanonicalText(result.value) : result.ErrorMessage();
}

// Decodes from an exact heap copy of the input, so AddressSanitizer catches any
// read past its length; decode takes (data, size).
template <class Byte, class Decode>
std::string DecodeCopy(const std::vector<Byte>& input, Decode decode) {
    const std::vector<Byte> bytes = input;
    return ResultText(decode(bytes.data(), bytes.size()));
}

inline std::vector<char> BytesOf(const std::string& text) { return {text.begin(), text.end()}; }
