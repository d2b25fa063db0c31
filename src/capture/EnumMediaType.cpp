#include "EnumMediaType.h"

#include "FilterGraph.h"
#include "GraphInternal.h"

#include "core/IniFile.h"

#include <algorithm>
#include <system_error>

namespace norvale {

HResult TPin::SetFormat(const TMediaType& mt) const {
    if (!owner_)
        throw EIntfCastError();
    return owner_->SetFormat(mt);
}

TPinList::TPinList(TFilterComponent* filter) {
    if (!filter || !filter->HasFilter())
        return;
    GstElement* element = filter->core().element.get();
    auto* source = dynamic_cast<TFilter*>(filter);
    GstIterator* it = gst_element_iterate_pads(element);
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(it, &item)) {
        case GST_ITERATOR_OK: {
            auto* pad = GST_PAD(g_value_get_object(&item));
            TPin pin;
            pin.name_ = gst::take(gst_pad_get_name(pad));
            pin.direction_ = GST_PAD_DIRECTION(pad) == GST_PAD_SINK ? TPin::Direction::Input
                                                                    : TPin::Direction::Output;
            if (source && pin.direction_ == TPin::Direction::Output) {
                pin.types_ = source->DeviceFormats();
                pin.owner_ = source;
            } else {
                gst::Caps caps(gst_pad_query_caps(pad, nullptr));
                for (guint i = 0; caps && i < gst_caps_get_size(caps.get()); ++i) {
                    const GstStructure* s = gst_caps_get_structure(caps.get(), i);
                    pin.types_.emplace_back(gst::mediaTypeFromStructure(s),
                                            gst::take(gst_structure_to_string(s)));
                }
            }
            pins_.push_back(std::move(pin));
            g_value_reset(&item);
            break;
        }
        case GST_ITERATOR_RESYNC:
            pins_.clear();
            gst_iterator_resync(it);
            break;
        default:
            done = true;
            break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    // Outputs first, as a capture device lists its capture pin first.
    std::stable_partition(pins_.begin(), pins_.end(), [](const TPin& p) {
        return p.PinDirection() == TPin::Direction::Output;
    });
}

const TPin& TPinList::PinAt(int index) const {
    if (index < 0 || index >= Count())
        throw EListError(index);
    return pins_[static_cast<size_t>(index)];
}

void TEnumMediaType::LoadFromPin(const TPin* pin) {
    if (!pin)
        throw EAssertionFailed("IPin not assigned");
    items_.clear();
    items_ = pin->EnumMediaTypes();
}

const TMediaType& TEnumMediaType::ItemAt(int index) const {
    if (index < 0 || index >= Count())
        throw EListError(index);
    return items_[static_cast<size_t>(index)];
}

std::string TEnumMediaType::DescriptionAt(int index) const {
    if (index < 0 || index >= Count())
        return {};
    return items_[static_cast<size_t>(index)].Description();
}

std::filesystem::path EncIniPath() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "Enc.ini";
    return exe.parent_path() / "Enc.ini";
}

std::string PreferredVideoFormat(const std::string& deviceName) {
    return PreferredVideoFormat(EncIniPath(), deviceName);
}

std::string PreferredVideoFormat(const std::filesystem::path& encIni,
                                 const std::string& deviceName) {
    if (deviceName.empty())
        return {};
    return IniFile(encIni).readString(deviceName, "VideoFormat", "");
}

} // namespace norvale
