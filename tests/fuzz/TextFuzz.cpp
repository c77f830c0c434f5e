// The parser of stored totals: whatever bytes it is given, it either rejects
// them or returns a value whose text parses back to itself.
#include "core/Arithmetic.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto value = dovo::TextToInt32(text);
    if (value) {
        const auto again = dovo::TextToInt32(dovo::Int32ToText(*value));
        if (!again || *again != *value) {
            std::abort();
        }
    }
    return 0;
}
