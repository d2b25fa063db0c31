#pragma once
// The capture layer's debug log: GStreamer's debug category "norvale". What the user is not
// shown goes there: the debug text of a pipeline error and the element that failed, and the
// failures a streaming thread or a destructor has to swallow. GST_DEBUG=norvale*:5 shows it on
// the console; otherwise it costs a level check and writes nothing (there is no log file).
namespace norvale {

// Logs that `what` failed, with the text of the exception being handled. Call it inside a
// catch block; it never throws.
void LogSwallowedFailure(const char* what) noexcept;

} // namespace norvale
