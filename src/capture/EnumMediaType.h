#pragma once
// Formats: media types, the format list of a pin, and the pins of a filter component.
#include "CaptureErrors.h"
#include "core/MediaTypeText.h"

#include <filesystem>
#include <string>
#include <vector>

namespace norvale {

class TFilterComponent;
class TFilter;

// One owned media type. A new one is all zero except fixed-size samples and sample size 1.
// Types read from a device also remember the GStreamer caps they stand for, so that choosing
// one as the capture format can set exactly that format.
class TMediaType {
public:
    TMediaType() = default;
    explicit TMediaType(AmMediaType mt, std::string caps = {})
        : mt_(std::move(mt)), caps_(std::move(caps)) {}

    const AmMediaType& MediaType() const { return mt_; }
    AmMediaType& MediaType() { return mt_; }
    const std::string& Caps() const { return caps_; }
    std::string Description() const { return DescribeMediaType(mt_); }

private:
    AmMediaType mt_;
    std::string caps_;
};

// A pin of a filter component's element: its name, direction and the media types it offers
// (for a device's output: the device's formats in the device's order).
class TPin {
public:
    enum class Direction { Input, Output };

    const std::string& Name() const { return name_; }
    Direction PinDirection() const { return direction_; }
    const std::vector<TMediaType>& EnumMediaTypes() const { return types_; }

    // Stream configuration: only a device's output pin has one.
    bool HasStreamConfig() const { return owner_ != nullptr; }
    // Sets the capture format (applied when the stream is rendered). Throws EIntfCastError
    // when the pin has no stream configuration; otherwise the result code.
    HResult SetFormat(const TMediaType& mt) const;

private:
    friend class TPinList;
    std::string name_;
    Direction direction_ = Direction::Output;
    std::vector<TMediaType> types_;
    TFilter* owner_ = nullptr;
};

// The pins of a component's element, in the element's order. A component without element gives
// an empty list. Made for one use and dropped right after.
class TPinList {
public:
    explicit TPinList(TFilterComponent* filter);
    int Count() const { return static_cast<int>(pins_.size()); }
    // EListError for a position outside the list.
    const TPin& PinAt(int index) const;
    const TPin& FirstPin() const { return PinAt(0); }

private:
    std::vector<TPin> pins_;
};

// An ordered list of owned media types; a position in it is a format index.
class TEnumMediaType {
public:
    // Clears the list and copies the pin's media types in order. A null pin is a programming
    // error: EAssertionFailed("IPin not assigned").
    void LoadFromPin(const TPin* pin);
    int Count() const { return static_cast<int>(items_.size()); }
    // EListError for a position outside 0 .. Count - 1.
    const TMediaType& ItemAt(int index) const;
    // Empty text outside 0 .. Count - 1, else DescribeMediaType of the item.
    std::string DescriptionAt(int index) const;
    void Clear() { items_.clear(); }

private:
    std::vector<TMediaType> items_;
};

// The preferred-format file next to the executable. Only read, never written; it may be absent.
std::filesystem::path EncIniPath();
// The "VideoFormat" value of the device's section (empty when the file, section or key is
// missing). Section and key names match regardless of letter case.
std::string PreferredVideoFormat(const std::string& deviceName);
std::string PreferredVideoFormat(const std::filesystem::path& encIni,
                                 const std::string& deviceName);

} // namespace norvale
