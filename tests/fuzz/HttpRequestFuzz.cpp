// Feeds arbitrary bytes to the live stream's request parser, whole and split at every size
// limit a connection may hit: it must never read past the bytes it is given, and whatever it
// accepts must be a well-formed request that the service can classify, route to a camera and
// answer.
#include "core/HttpRequest.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<char[]>(size == 0 ? 1 : size);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    const std::string_view bytes(copy.get(), size);
    for (size_t limit : {size_t{16}, size_t{256}, size_t{8192}}) {
        const norvale::HttpParseResult r = norvale::parseHttpRequest(bytes, limit);
        switch (r.status) {
        case norvale::HttpParseStatus::Complete:
            if (r.length == 0 || r.length > size || r.length > limit || r.request.method.empty() ||
                r.request.target.empty())
                __builtin_trap();
            (void)norvale::streamResponseHead(norvale::classifyStreamRequest(r.request), 1);
            // Every target names the port's first camera, one camera, or none.
            if (const int camera = norvale::streamTargetCamera(r.request.target);
                camera < -1 || camera > norvale::MaxStreamCamera)
                __builtin_trap();
            break;
        case norvale::HttpParseStatus::Malformed:
        case norvale::HttpParseStatus::TooLarge:
            if (norvale::httpErrorResponse(r.httpStatus).empty() || r.httpStatus < 400)
                __builtin_trap();
            break;
        case norvale::HttpParseStatus::Incomplete:
            if (size >= limit)
                __builtin_trap(); // a full buffer must be decided
            break;
        }
    }
    return 0;
}
