// UTF-8 and UTF-16 conversions for the W calls. Bytes that are no valid
// UTF-8 and unpaired surrogates become U+FFFD, so a conversion never fails.
#pragma once

#include <string>
#include <string_view>

#include "platform/kernel/utf.h"

namespace mvn::registry {

std::u16string Utf8ToUtf16(std::string_view text);
using mvn::kernel::Utf16ToUtf8;

}  // namespace mvn::registry
