// UTF-8 and UTF-16 conversions for the W calls. Bytes that are no valid
// UTF-8 and unpaired surrogates become U+FFFD, so a conversion never fails.
#pragma once

#include <string>
#include <string_view>

namespace mvn::registry {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace mvn::registry
