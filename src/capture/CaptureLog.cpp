#include "CaptureLog.h"

#include "GraphInternal.h"
#include "GstRuntime.h"
#include "NetworkCamera.h"

#include <exception>
#include <string>

namespace norvale {

void LogSwallowedFailure(const char* what) noexcept {
    try {
        gst::ensureInitialised();
        std::string text = "unknown error";
        if (const std::exception_ptr current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& e) {
                text = e.what();
            } catch (...) {
            }
        }
        GST_CAT_WARNING(gst::debugCategory(), "%s failed: %s", what, text.c_str());
    } catch (...) {
    }
}

namespace gst {

std::string errorMessageText(GstMessage* msg) {
    GError* err = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(msg, &err, &debug);
    Error owned(err);
    CString ownedDebug(debug);
    // A network source's texts may carry its address with the user's password in it.
    std::string text = scrubNetworkSecrets(owned ? str(owned->message) : std::string());
    const std::string debugText = scrubNetworkSecrets(debug ? debug : "no debug text");
    // A network camera's source says "could not open resource" for a wrong password as for a
    // computer that is off: the user is told which it is.
    GstObject* src = GST_MESSAGE_SRC(msg);
    GstElementFactory* factory =
        src && GST_IS_ELEMENT(src) ? gst_element_get_factory(GST_ELEMENT(src)) : nullptr;
    const std::string kind = factory ? GST_OBJECT_NAME(factory) : "";
    if (owned && (kind == "rtspsrc" || kind == "souphttpsrc")) {
        const auto problem = classifyNetworkError(g_quark_to_string(owned->domain), owned->code,
                                                  text + " " + debugText);
        if (problem != NetProbeResult::Problem::Other)
            text = describeNetworkProblem(problem, text);
    }
    CString element(GST_MESSAGE_SRC(msg) ? gst_object_get_path_string(GST_MESSAGE_SRC(msg))
                                         : nullptr);
    GST_CAT_WARNING(debugCategory(), "error from %s: %s (%s)",
                    element ? element.get() : "(unknown element)", text.c_str(), debugText.c_str());
    return text;
}

} // namespace gst

} // namespace norvale
