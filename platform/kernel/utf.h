// UTF-16 to UTF-8, shared by the layers that turn wide texts into narrow
// ones. A conversion never fails: an unpaired surrogate becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace mvn::kernel {

// Appends a code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string* out, char32_t code);

std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace mvn::kernel
