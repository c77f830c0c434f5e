#pragma once

#include <string>
#include <string_view>

namespace dovo {

// Windows speaks UTF-16; the shared code speaks UTF-8.
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);

// The system's own words for a Win32 error code, without the line break it
// ends them with.
std::string SystemMessage(unsigned long error);

} // namespace dovo
