#include "HttpRequest.h"

#include <algorithm>

namespace norvale {

namespace {

bool isTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// Field values may hold visible characters, blanks, tabs and bytes above 0x7F, nothing else.
bool isValueChar(unsigned char c) {
    return c == '\t' || (c >= 0x20 && c != 0x7F);
}

bool isTargetChar(unsigned char c) {
    return c > 0x20 && c != 0x7F;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(),
                       [](char x, char y) { return lower(x) == lower(y); }) != text.end();
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

HttpParseResult failed(HttpParseStatus status, int httpStatus, std::string error) {
    HttpParseResult r;
    r.status = status;
    r.httpStatus = httpStatus;
    r.error = std::move(error);
    return r;
}

HttpParseResult malformed(std::string error) {
    return failed(HttpParseStatus::Malformed, 400, std::move(error));
}

bool parseDigit(char c, int& out) {
    if (c < '0' || c > '9')
        return false;
    out = c - '0';
    return true;
}

// "method SP target SP HTTP/x.y"; returns an error text, empty on success.
std::string parseRequestLine(std::string_view line, HttpRequest& request, int& httpStatus) {
    httpStatus = 400;
    const size_t firstSpace = line.find(' ');
    if (firstSpace == std::string_view::npos || firstSpace == 0)
        return "request line without method";
    const std::string_view method = line.substr(0, firstSpace);
    if (!std::all_of(method.begin(), method.end(), [](char c) { return isTokenChar(c); }))
        return "invalid method";
    const size_t secondSpace = line.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos)
        return "request line without version";
    const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    if (target.empty() ||
        !std::all_of(target.begin(), target.end(), [](char c) { return isTargetChar(c); }))
        return "invalid request target";
    const std::string_view version = line.substr(secondSpace + 1);
    int major = 0, minor = 0;
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
        !parseDigit(version[5], major) || !parseDigit(version[7], minor))
        return "invalid HTTP version";
    if (major != 1) {
        httpStatus = 505;
        return "unsupported HTTP version";
    }
    request.method = std::string(method);
    request.target = std::string(target);
    request.versionMajor = major;
    request.versionMinor = minor;
    return {};
}

std::string parseHeaderLine(std::string_view line, HttpRequest& request) {
    if (line.front() == ' ' || line.front() == '\t')
        return "folded header line";
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return "header line without name";
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), [](char c) { return isTokenChar(c); }))
        return "invalid header name";
    const std::string_view value = trimBlanks(line.substr(colon + 1));
    if (!std::all_of(value.begin(), value.end(), [](char c) { return isValueChar(c); }))
        return "control character in header value";
    request.headers.push_back({std::string(name), std::string(value)});
    return {};
}

} // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    for (const HttpHeader& h : headers)
        if (equalsIgnoringCase(h.name, name))
            return &h.value;
    return nullptr;
}

std::vector<std::string_view> HttpRequest::values(std::string_view name) const {
    std::vector<std::string_view> out;
    for (const HttpHeader& h : headers)
        if (equalsIgnoringCase(h.name, name))
            out.emplace_back(h.value);
    return out;
}

HttpParseResult parseHttpRequest(std::string_view data, std::size_t maxLength) {
    const std::string_view view = data.substr(0, std::min(data.size(), maxLength));
    size_t pos = 0;
    // A few empty lines before the request line are tolerated (some clients send a CRLF after
    // a previous request).
    for (int i = 0; i < 4 && pos < view.size(); ++i) {
        if (view[pos] == '\n')
            ++pos;
        else if (view[pos] == '\r' && pos + 1 < view.size() && view[pos + 1] == '\n')
            pos += 2;
        else
            break;
    }
    // Garbage is refused at once: a request line starts with a method token and a blank.
    for (size_t i = pos; i < view.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(view[i]);
        if (c == ' ' && i > pos)
            break;
        if (!isTokenChar(c))
            return malformed("not an HTTP request");
    }

    HttpParseResult result;
    bool first = true;
    while (true) {
        const size_t end = view.find('\n', pos);
        if (end == std::string_view::npos) {
            if (data.size() >= maxLength)
                return failed(HttpParseStatus::TooLarge, 413, "request head too large");
            return result; // Incomplete
        }
        std::string_view line = view.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos)
            return malformed("stray control character");
        pos = end + 1;
        if (first) {
            int httpStatus = 400;
            std::string error = parseRequestLine(line, result.request, httpStatus);
            if (!error.empty())
                return failed(HttpParseStatus::Malformed, httpStatus, std::move(error));
            first = false;
            continue;
        }
        if (line.empty()) {
            result.status = HttpParseStatus::Complete;
            result.length = pos;
            return result;
        }
        std::string error = parseHeaderLine(line, result.request);
        if (!error.empty())
            return malformed(std::move(error));
    }
}

StreamRequestKind classifyStreamRequest(const HttpRequest& request) {
    const std::string* agent = request.header("User-Agent");
    if (!agent || !containsIgnoringCase(*agent, "NSPlayer"))
        return StreamRequestKind::Plain;
    // Pragma fields carry comma-separated directives; the play request has xPlayStrm=1.
    for (std::string_view pragma : request.values("Pragma")) {
        while (!pragma.empty()) {
            const size_t comma = pragma.find(',');
            const std::string_view directive = trimBlanks(pragma.substr(0, comma));
            if (equalsIgnoringCase(directive, "xPlayStrm=1"))
                return StreamRequestKind::Play;
            if (comma == std::string_view::npos)
                break;
            pragma.remove_prefix(comma + 1);
        }
    }
    return StreamRequestKind::Describe;
}

std::string_view requestPath(std::string_view target) {
    // Absolute form ("http://host:8801/camera/2", as clients behind a proxy setting send it):
    // the scheme and the authority go, the path stays; no path at all means the root.
    const size_t scheme = target.find("://");
    if (!target.empty() && target.front() != '/' && scheme != std::string_view::npos &&
        scheme > 0 &&
        std::all_of(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(scheme),
                    [](char c) {
                        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
                    })) {
        target.remove_prefix(scheme + 3);
        const size_t path = target.find_first_of("/?#");
        if (path == std::string_view::npos || target[path] != '/')
            return "/";
        target.remove_prefix(path);
    }
    return target.substr(0, target.find_first_of("?#"));
}

int streamTargetCamera(std::string_view target) {
    std::string_view path = requestPath(target);
    constexpr std::string_view prefix = "/camera";
    if (path.substr(0, prefix.size()) != prefix)
        return 0;
    path.remove_prefix(prefix.size());
    if (!path.empty() && path.front() != '/')
        return 0; // another name that merely begins alike, such as /cameras
    if (path.empty() || path == "/")
        return -1;
    path.remove_prefix(1);
    if (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    if (path.empty() || path.size() > 2 || path.front() == '0')
        return -1;
    int n = 0;
    for (char c : path) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n <= MaxStreamCamera ? n : -1;
}

std::string streamResponseHead(StreamRequestKind kind, std::uint32_t clientId) {
    std::string head = "HTTP/1.0 200 OK\r\n";
    switch (kind) {
    case StreamRequestKind::Plain:
        head += "Content-Type: video/x-ms-asf\r\n";
        break;
    case StreamRequestKind::Describe:
        head += "Content-Type: application/vnd.ms.wms-hdr.asfv1\r\n";
        break;
    case StreamRequestKind::Play:
        head += "Content-Type: application/x-mms-framed\r\n";
        break;
    }
    // Windows Media players recognise a streaming server by this product token.
    head += "Server: Cougar/9.01.01.3814\r\n"
            "Cache-Control: no-cache\r\n"
            "Pragma: no-cache\r\n";
    if (kind != StreamRequestKind::Plain) {
        head += "Pragma: client-id=" + std::to_string(clientId) + "\r\n";
        // A live broadcast: players neither seek nor ask for a duration.
        head += "Pragma: features=\"broadcast\"\r\n";
    }
    head += "Connection: close\r\n\r\n";
    return head;
}

std::string rawStreamResponseHead(std::string_view contentType) {
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: ";
    head += contentType;
    head += "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";
    return head;
}

std::string_view httpReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

std::string httpErrorResponse(int status) {
    const std::string statusText =
        std::to_string(status) + " " + std::string(httpReasonPhrase(status));
    const std::string body = statusText + "\r\n";
    std::string out = "HTTP/1.0 " + statusText + "\r\n";
    out += "Content-Type: text/plain\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (status == 405)
        out += "Allow: GET, HEAD\r\n";
    out += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

} // namespace norvale
