#pragma once
// Capture devices: listing a device category, device identities and binding them again.
//
// Devices are named everywhere by their position in the listing, never by name. The listing is
// GStreamer's device monitor for the category (video input: "Video/Source"): real devices first,
// ordered by their API and path so the order is stable within a run, then the synthetic test
// cameras (see TestCameras.h) by number.
//
// Application-wide objects: the application creates one TSysDevEnum of the video input category
// (`VideoDevices`) and then one empty TEnumMediaType (`DeviceFormats`, EnumMediaType.h) once at
// start-up, in its data module, and keeps both until the process ends:
//     VideoDevices =
//     std::make_unique<norvale::TSysDevEnum>(norvale::CLSID_VideoInputDeviceCategory);
//     DeviceFormats = std::make_unique<norvale::TEnumMediaType>();
// Every call runs on the GUI thread.
#include "core/Guid.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvale {

inline constexpr TGuid CLSID_VideoInputDeviceCategory =
    guid("{860BB310-5D01-11D0-BD3B-00A0C911CE86}");
inline constexpr TGuid CLSID_AudioInputDeviceCategory =
    guid("{33D9A762-90C8-11D0-BD43-00A0C911CE86}");
// Class identifier reported for real capture devices, and the one of the synthetic cameras.
inline constexpr TGuid CLSID_CaptureDeviceProxy = guid("{17CCA71B-ECD7-11D0-B908-00A0C9223196}");
inline constexpr TGuid CLSID_NorvaleTestCamera = guid("{3B1F0B52-6C1E-4E5B-9A57-4E6F7276616C}");

struct DeviceEntry {
    std::string FriendlyName; // at most 255 characters
    TGuid ClassId;            // all zero when unknown
};

// A device identity: bytes that bind the same device again (for V4L2 the device path), plus
// the name it was listed under, for messages.
struct TMoniker {
    std::vector<uint8_t> bytes;
    std::string displayName;
    friend bool operator==(const TMoniker&, const TMoniker&) = default;
};

class TSysDevEnum {
public:
    explicit TSysDevEnum(const TGuid& category);

    // Remembers the category and lists it afresh.
    void SelectCategory(const TGuid& category);
    const TGuid& category() const { return category_; }

    // The list as last built.
    int DeviceCount() const { return static_cast<int>(entries_.size()); }
    // A copy of the entry; EListError for an index outside 0 .. DeviceCount - 1.
    DeviceEntry EntryAt(int index) const;

    // The identity of the index-th device present *now* (the category is enumerated afresh on
    // every call); nothing when there is no such device.
    std::optional<TMoniker> MonikerAt(int index) const;

private:
    TGuid category_;
    std::vector<DeviceEntry> entries_;
};

// A byte buffer that can be empty (length 0). Kept as the classic persistent-memory record:
// DataBytes() is a 32-bit little-endian length followed by the bytes.
class TPersistentMemory {
public:
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    void setBytes(std::vector<uint8_t> b) { bytes_ = std::move(b); }
    bool empty() const { return bytes_.empty(); }
    void clear() { bytes_.clear(); }

    std::vector<uint8_t> DataBytes() const;
    // Reads what DataBytes wrote; false (and no change) when the data is short or inconsistent.
    bool LoadDataBytes(const std::vector<uint8_t>& data);

private:
    std::vector<uint8_t> bytes_;
};

// The element a bound device gives; opaque outside the capture layer.
class TDeviceElement;
using TDeviceElementPtr = std::shared_ptr<TDeviceElement>;

// One stored device identity (empty: no device).
class TBaseFilter : public TPersistentMemory {
public:
    void StoreMoniker(const std::optional<TMoniker>& moniker);
    std::optional<TMoniker> RestoreMoniker() const;
    // A fresh source element for the stored device; nothing when the identity is empty or the
    // device is not present any more.
    TDeviceElementPtr BindFilter(const char* elementName = nullptr) const;
};

// FriendlyName rule: at most 255 characters (UTF-8 aware: never cuts a character in half).
std::string CutFriendlyName(const std::string& name);

} // namespace norvale
