#include "base/Exception.h"

#include <stdexcept>

#include "base/NumericCast.h"

namespace volcore::detail {

std::string FormatRendered(std::string_view format, const std::vector<std::string>& texts) {
    std::string result;
    result.reserve(format.size() * 2);
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%' || i + 1 == format.size()) {
            result.push_back(c);
            continue;
        }
        char next = format[++i];
        if (next >= '0' && next <= '9') {
            size_t number = static_cast<size_t>(next - '0');
            if (number >= 1 && number <= texts.size()) result += texts[number - 1];
        } else {
            result.push_back(next);
        }
    }
    return result;
}

}  // namespace volcore::detail

namespace volcore {

void ThrowNumericOverflow(uint64_t value) { throw std::overflow_error(FormatText("value: %1", value)); }

}  // namespace volcore
