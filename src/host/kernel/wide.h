// Conversions between the kernel's counted UTF-16 strings and the host's
// UTF-8 std::string, and the case folding used for kernel object names.
//
// Hard part: counted strings carry no terminator and may be malformed
// (odd byte length, Length beyond MaximumLength, lone surrogates); every
// conversion validates first and replaces broken code units with U+FFFD.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/kernel.h"

namespace dualcam::host {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// The characters of a counted string, or nothing if its fields are unusable.
std::optional<std::u16string_view> View(const UNICODE_STRING* text);
// A terminated wide string, or nothing for a null pointer.
std::optional<std::u16string_view> View(PCWSTR text);

// Object names (registry keys, value names, links, file names) compare
// without regard to case; ASCII folding is what the names here need.
std::string FoldCase(std::string_view text);
bool EqualFolded(std::string_view a, std::string_view b);

}  // namespace dualcam::host
