#pragma once
// Errors of the capture layer. All are exceptions carrying the text the user sees.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace norvale {

// Result codes in the classic 32-bit form: negative means failure. The layer reports its
// GStreamer failures with these codes so that callers can keep checking results the usual way.
using HResult = int32_t;
namespace hr {
inline constexpr HResult S_OK = 0;
inline constexpr HResult S_FALSE = 1;
inline constexpr HResult E_FAIL = static_cast<HResult>(0x80004005u);
inline constexpr HResult E_NOINTERFACE = static_cast<HResult>(0x80004002u);
inline constexpr HResult E_POINTER = static_cast<HResult>(0x80004003u);
inline constexpr HResult E_INVALIDARG = static_cast<HResult>(0x80070057u);
inline constexpr HResult E_UNEXPECTED = static_cast<HResult>(0x8000FFFFu);
inline constexpr HResult VFW_E_INVALIDMEDIATYPE = static_cast<HResult>(0x80040200u);
inline constexpr HResult VFW_E_CANNOT_CONNECT = static_cast<HResult>(0x80040217u);
inline constexpr HResult VFW_E_NOT_CONNECTED = static_cast<HResult>(0x80040209u);
inline constexpr HResult VFW_E_CANNOT_RENDER = static_cast<HResult>(0x80040218u);
inline constexpr HResult VFW_E_TIMEOUT = static_cast<HResult>(0x8004022Eu);
} // namespace hr

// A failing media call: the platform's error text followed by " ($XXXXXXXX)." and the code.
class EDirectShowException : public std::runtime_error {
public:
    EDirectShowException(const std::string& message, HResult code)
        : std::runtime_error(message), code_(code) {}
    HResult code() const { return code_; }

private:
    HResult code_;
};

// Asking a component for a filter it does not have (its device is gone, or it is not in an
// active graph).
class EIntfCastError : public std::runtime_error {
public:
    EIntfCastError() : std::runtime_error("Interface not supported") {}
};

// A programming error: an operation called without what it needs.
class EAssertionFailed : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// A list position outside the list.
class EListError : public std::out_of_range {
public:
    explicit EListError(long long index);
};

// The text of a result code: `platformText` when the failing call gave one (GStreamer's own
// message), else the standard text of a few well-known codes, else "Unspecified error".
std::string ErrorText(HResult code, std::string_view platformText = {});

// Returns `code` when it is not negative; otherwise throws EDirectShowException whose text is
// ErrorText(code, platformText) + " ($%X)." with the code.
HResult CheckDirectShowResult(HResult code, std::string_view platformText = {});

} // namespace norvale
