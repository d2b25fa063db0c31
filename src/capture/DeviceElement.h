#pragma once
// Internal: a bound capture device and the device listing behind TSysDevEnum.
#include "GstHandles.h"
#include "SysDevEnum.h"
#include "core/NetCamera.h"

#include <optional>

#include <vector>

namespace norvale {

class TDeviceElement {
public:
    gst::Ref<GstElement> element;
    gst::Caps deviceCaps; // the formats the device lists, in its order
    std::string name;
    std::string v4l2Path; // the device node of a V4L2 camera, else empty
    // The format the device reports it is set to, as a caps structure (empty: none); V4L2
    // cameras are asked through v4l2Path instead, as their format can change.
    std::string currentFormat;
    // A network camera: its stream's format is whatever the camera sends, and may change.
    bool network = false;
    std::string networkIdentity; // a network camera's address without credentials
};

namespace gst {

struct DeviceRecord {
    Ref<GstDevice> device;
    std::string identity;
    std::string name;
    std::string v4l2Path;
    std::string currentFormat;
    bool test = false;
    std::optional<NetCameraConfig> network; // a network camera, with no GstDevice
};

// A device's identity from its properties: API and node path (device.path, or PipeWire's
// api.v4l2.path / object.path), else its name. Equal identities are told apart by the caller.
std::string deviceIdentity(const GstStructure* props, const std::string& displayName);
// Appends "\n#2", "\n#3", ... to the second, third, ... record of an identity already seen.
void makeIdentitiesUnique(std::vector<DeviceRecord>& records);

// Devices of a category ("Video/Source"), real ones first (stable order), then test cameras,
// then (video only) the network cameras.
std::vector<DeviceRecord> listDevices(const TGuid& category);
// Whether `identity` was ever listed as a video device in this process.
bool listedAsVideo(const std::string& identity);

} // namespace gst
} // namespace norvale
