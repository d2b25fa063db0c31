#pragma once
// The request side of a camera's live stream service: parsing an HTTP request head from the
// bytes received so far, telling a plain HTTP viewer from a Windows Media player (describe or
// play request), and the response heads the service sends. Plain C++, so the rules are tested
// and fuzzed without a network.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvale {

struct HttpHeader {
    std::string name;
    std::string value; // without surrounding blanks
};

struct HttpRequest {
    std::string method;
    std::string target;
    int versionMajor = 1;
    int versionMinor = 0;
    std::vector<HttpHeader> headers;

    // Value of the first field of that name (names compare case-insensitively), or nullptr.
    const std::string* header(std::string_view name) const;
    // Values of every field of that name, in order (a field may be repeated, e.g. Pragma).
    std::vector<std::string_view> values(std::string_view name) const;
};

enum class HttpParseStatus {
    Incomplete, // no blank line yet, nothing wrong so far
    Complete,
    Malformed,
    TooLarge, // the head did not end within the size limit
};

struct HttpParseResult {
    HttpParseStatus status = HttpParseStatus::Incomplete;
    HttpRequest request;    // filled when Complete
    std::size_t length = 0; // bytes of the head including its blank line, when Complete
    int httpStatus = 0;     // the error status to answer with: 400, 413 or 505
    std::string error;      // what was wrong, for diagnostics
};

// Parses the request head at the start of `data` (the bytes received so far). Lines may end
// with CRLF or a bare LF; folded header lines, control characters and a request line that is
// not "method SP target SP HTTP/1.x" are malformed. Garbage is recognised as soon as the first
// bytes cannot begin a request line, without waiting for a line end. A head longer than
// `maxLength` bytes is TooLarge.
HttpParseResult parseHttpRequest(std::string_view data, std::size_t maxLength);

// How a viewer asked for the stream.
enum class StreamRequestKind {
    Plain,    // any HTTP client: raw ASF
    Describe, // Windows Media player (User-Agent NSPlayer/...) asking for the header only
    Play,     // Windows Media player asking for the stream (Pragma: xPlayStrm=1)
};

StreamRequestKind classifyStreamRequest(const HttpRequest& request);

// Highest camera number a stream address can name.
inline constexpr int MaxStreamCamera = 36;

// The path of a request target, without query or fragment; an absolute-form target
// ("http://host:port/path") gives its path, "/" when it has none.
std::string_view requestPath(std::string_view target);

// Which camera's stream a request target asks for: N for "/camera/N" (1 to MaxStreamCamera,
// optionally followed by "/" or a query), 0 for any other target (the port's first camera, as
// every address was before cameras had their own), -1 for a /camera address naming no camera.
int streamTargetCamera(std::string_view target);

// The response head (status line, fields, blank line) that precedes the stream for each kind of
// request. `clientId` is the Windows Media client id the server hands out.
std::string streamResponseHead(StreamRequestKind kind, std::uint32_t clientId);

// The response head for a stream served as it is, of the given content type ("video/mp2t",
// "multipart/x-mixed-replace; boundary=..."): one kind for every client.
std::string rawStreamResponseHead(std::string_view contentType);

// A complete error response with a short text body, "Connection: close".
std::string httpErrorResponse(int status);

// The reason phrase of the statuses the service sends ("Service Unavailable" for 503).
std::string_view httpReasonPhrase(int status);

} // namespace norvale
