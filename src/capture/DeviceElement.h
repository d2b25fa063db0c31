#pragma once
// Internal: a bound capture device and the device listing behind TSysDevEnum.
#include "GstHandles.h"
#include "SysDevEnum.h"

#include <vector>

namespace norvale {

class TDeviceElement {
public:
    gst::Ref<GstElement> element;
    gst::Caps deviceCaps; // the formats the device lists, in its order
    std::string name;
};

namespace gst {

struct DeviceRecord {
    Ref<GstDevice> device;
    std::string identity;
    std::string name;
    bool test = false;
};

// Devices of a category ("Video/Source"), real ones first (stable order), then test cameras.
std::vector<DeviceRecord> listDevices(const TGuid& category);

} // namespace gst
} // namespace norvale
