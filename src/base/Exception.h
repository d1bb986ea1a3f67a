#pragma once
// The engine's one exception type and its numbered-placeholder formatting.
#include <concepts>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace volcore {

std::string Utf16ToUtf8(std::u16string_view text);

namespace detail {

inline std::string RenderArgument(const std::string& value) { return value; }
inline std::string RenderArgument(std::string_view value) { return std::string(value); }
inline std::string RenderArgument(const char* value) { return value ? value : ""; }
inline std::string RenderArgument(const std::u16string& value) { return Utf16ToUtf8(value); }
inline std::string RenderArgument(std::u16string_view value) { return Utf16ToUtf8(value); }

template <std::integral T>
std::string RenderArgument(T value) {
    if constexpr (std::is_same_v<T, bool>) return value ? "1" : "0";
    else if constexpr (std::is_signed_v<T>) return std::to_string(static_cast<long long>(value));
    else return std::to_string(static_cast<unsigned long long>(value));
}

template <typename T>
    requires std::is_enum_v<T>
std::string RenderArgument(T value) {
    return RenderArgument(static_cast<std::underlying_type_t<T>>(value));
}

std::string FormatRendered(std::string_view format, const std::vector<std::string>& texts);

}  // namespace detail

// Replaces %1..%9 with the rendered arguments. A placeholder without an argument
// vanishes, "%%" gives "%", "%x" gives "x", a trailing "%" stays.
template <typename... Args>
std::string FormatText(std::string_view format, const Args&... args) {
    std::vector<std::string> texts;
    texts.reserve(sizeof...(Args));
    (texts.push_back(detail::RenderArgument(args)), ...);
    return detail::FormatRendered(format, texts);
}

// What a failure says about its cause, so that callers can tell a damaged
// volume from a bad request without reading the message.
enum class EErrorKind {
    Corrupt,      // the volume's bytes contradict the format or each other
    Argument,     // the request cannot be carried out as asked (bad name, missing entry, wrong state)
    Io,           // the device failed to read, write or report its size
    Unsupported,  // a well-formed volume uses something this engine does not handle
};

class CException : public std::exception {
public:
    CException(EErrorKind kind, std::string message) : m_kind(kind), m_message(std::move(message)) {}
    CException(EErrorKind kind, const char* message) : m_kind(kind), m_message(message) {}

    template <typename First, typename... Rest>
    CException(EErrorKind kind, std::string_view format, const First& first, const Rest&... rest)
        : m_kind(kind), m_message(FormatText(format, first, rest...)) {}

    const char* what() const noexcept override { return m_message.c_str(); }
    EErrorKind Kind() const noexcept { return m_kind; }

private:
    EErrorKind m_kind;
    std::string m_message;
};

// No free cluster is left for an allocation: callers that can do without
// new clusters (an index save writing its blocks in place) catch this one.
class CVolumeFull final : public CException {
public:
    using CException::CException;
};

// The kind a failure carries; anything but a CException counts as `otherwise`.
inline EErrorKind KindOf(const std::exception& failure, EErrorKind otherwise) {
    const auto* known = dynamic_cast<const CException*>(&failure);
    return known ? known->Kind() : otherwise;
}

}  // namespace volcore
