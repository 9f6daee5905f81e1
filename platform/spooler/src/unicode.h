// UTF-8 and UTF-16 for the host's wide texts. Invalid input (bytes that are
// no UTF-8, unpaired surrogates) becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "platform/kernel/utf.h"

namespace mvn::spooler::unicode {

std::u16string Utf8ToUtf16(std::string_view text);
using mvn::kernel::Utf16ToUtf8;

}  // namespace mvn::spooler::unicode
