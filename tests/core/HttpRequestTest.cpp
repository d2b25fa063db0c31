#include "core/HttpRequest.h"

#include <gtest/gtest.h>

using namespace norvale;

namespace {

struct ParseCase {
    const char* name;
    std::string input;
    HttpParseStatus status;
    int httpStatus; // for errors
};

TEST(HttpRequestTest, ParseOutcomes) {
    const ParseCase cases[] = {
        {"plain", "GET / HTTP/1.0\r\n\r\n", HttpParseStatus::Complete, 0},
        {"bare line feeds", "GET / HTTP/1.1\nHost: a\n\n", HttpParseStatus::Complete, 0},
        {"leading empty line", "\r\nGET / HTTP/1.1\r\n\r\n", HttpParseStatus::Complete, 0},
        {"partial method", "GE", HttpParseStatus::Incomplete, 0},
        {"partial head", "GET / HTTP/1.0\r\nHost: x\r\n", HttpParseStatus::Incomplete, 0},
        {"empty", "", HttpParseStatus::Incomplete, 0},
        {"garbage refused at once", "\x16\x03\x01\x02", HttpParseStatus::Malformed, 400},
        {"blank first", " GET / HTTP/1.0\r\n\r\n", HttpParseStatus::Malformed, 400},
        {"no version", "GET /\r\n\r\n", HttpParseStatus::Malformed, 400},
        {"bad version", "GET / HTTQ/1.0\r\n\r\n", HttpParseStatus::Malformed, 400},
        {"two blanks", "GET  / HTTP/1.0\r\n\r\n", HttpParseStatus::Malformed, 400},
        {"http 2", "GET / HTTP/2.0\r\n\r\n", HttpParseStatus::Malformed, 505},
        {"header without colon", "GET / HTTP/1.0\r\nHost\r\n\r\n", HttpParseStatus::Malformed, 400},
        {"blank before colon", "GET / HTTP/1.0\r\nHost : x\r\n\r\n", HttpParseStatus::Malformed,
         400},
        {"folded line", "GET / HTTP/1.0\r\nA: b\r\n c\r\n\r\n", HttpParseStatus::Malformed, 400},
        {"control character", std::string("GET / HTTP/1.0\r\nA: b\x01\r\n\r\n"),
         HttpParseStatus::Malformed, 400},
        {"nul", std::string("GET / HTTP/1.0\r\nA: b\0c\r\n\r\n", 27), HttpParseStatus::Malformed,
         400},
        {"stray carriage return", "GET / HTTP/1.0\r\nA: b\rc\r\n\r\n", HttpParseStatus::Malformed,
         400},
        {"too large", "GET / HTTP/1.0\r\nA: " + std::string(100, 'x'), HttpParseStatus::TooLarge,
         413},
        // A complete head beyond the limit is too large as well: its end lies past it.
        {"ends past limit", "GET / HTTP/1.0\r\nA: " + std::string(100, 'x') + "\r\n\r\n",
         HttpParseStatus::TooLarge, 413},
    };
    for (const ParseCase& c : cases) {
        const HttpParseResult r = parseHttpRequest(c.input, 64);
        EXPECT_EQ(r.status, c.status) << c.name;
        if (c.status == HttpParseStatus::Malformed || c.status == HttpParseStatus::TooLarge) {
            EXPECT_EQ(r.httpStatus, c.httpStatus) << c.name;
        }
    }
}

TEST(HttpRequestTest, CompleteRequestFields) {
    const std::string head = "GET /live?x=1 HTTP/1.1\r\n"
                             "Host: 127.0.0.1:8801\r\n"
                             "pragma: no-cache,rate=1.000000\r\n"
                             "User-Agent:   NSPlayer/7.10.0.3059  \r\n"
                             "Pragma: xPlayStrm=1\r\n"
                             "\r\n";
    const std::string data = head + "trailing body bytes";
    const HttpParseResult r = parseHttpRequest(data, 8192);
    ASSERT_EQ(r.status, HttpParseStatus::Complete);
    EXPECT_EQ(r.length, head.size());
    EXPECT_EQ(r.request.method, "GET");
    EXPECT_EQ(r.request.target, "/live?x=1");
    EXPECT_EQ(r.request.versionMajor, 1);
    EXPECT_EQ(r.request.versionMinor, 1);
    ASSERT_NE(r.request.header("USER-AGENT"), nullptr);
    EXPECT_EQ(*r.request.header("user-agent"), "NSPlayer/7.10.0.3059");
    EXPECT_EQ(r.request.header("Accept"), nullptr);
    const auto pragmas = r.request.values("Pragma");
    ASSERT_EQ(pragmas.size(), 2u);
    EXPECT_EQ(pragmas[0], "no-cache,rate=1.000000");
    EXPECT_EQ(pragmas[1], "xPlayStrm=1");
}

TEST(HttpRequestTest, RequestKinds) {
    struct Case {
        const char* headers;
        StreamRequestKind kind;
    };
    const Case cases[] = {
        {"", StreamRequestKind::Plain},
        {"User-Agent: Lavf/59.27.100\r\n", StreamRequestKind::Plain},
        // A plain client's pragma does not make it a Windows Media player.
        {"User-Agent: curl/7.88\r\nPragma: xPlayStrm=1\r\n", StreamRequestKind::Plain},
        {"User-Agent: NSPlayer/7.10.0.3059\r\nPragma: no-cache,rate=1.000000\r\n",
         StreamRequestKind::Describe},
        {"User-Agent: nsplayer/4.1.0.3856\r\n", StreamRequestKind::Describe},
        {"User-Agent: NSPlayer/7.10.0.3059\r\nPragma: no-cache,rate=1.0\r\n"
         "Pragma: xPlayStrm=1\r\n",
         StreamRequestKind::Play},
        {"User-Agent: NSPlayer/9.0\r\nPragma: rate=1.0, XPLAYSTRM=1 ,stream-time=0\r\n",
         StreamRequestKind::Play},
        // Only the exact directive counts.
        {"User-Agent: NSPlayer/9.0\r\nPragma: xPlayStrm=10\r\n", StreamRequestKind::Describe},
    };
    for (const Case& c : cases) {
        const std::string head = std::string("GET / HTTP/1.0\r\n") + c.headers + "\r\n";
        const HttpParseResult r = parseHttpRequest(head, 8192);
        ASSERT_EQ(r.status, HttpParseStatus::Complete) << c.headers;
        EXPECT_EQ(classifyStreamRequest(r.request), c.kind) << c.headers;
    }
}

TEST(HttpRequestTest, ResponseHeads) {
    const std::string plain = streamResponseHead(StreamRequestKind::Plain, 7);
    EXPECT_EQ(plain.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(plain.find("Content-Type: video/x-ms-asf\r\n"), std::string::npos);
    EXPECT_NE(plain.find("Cache-Control: no-cache\r\n"), std::string::npos);
    EXPECT_NE(plain.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(plain.find("client-id"), std::string::npos);

    const std::string describe = streamResponseHead(StreamRequestKind::Describe, 7);
    EXPECT_NE(describe.find("Content-Type: application/vnd.ms.wms-hdr.asfv1\r\n"),
              std::string::npos);
    EXPECT_NE(describe.find("Pragma: client-id=7\r\n"), std::string::npos);
    EXPECT_NE(describe.find("\r\nServer: "), std::string::npos);

    const std::string play = streamResponseHead(StreamRequestKind::Play, 8);
    EXPECT_NE(play.find("Content-Type: application/x-mms-framed\r\n"), std::string::npos);
    for (const std::string* head : {&plain, &describe, &play}) {
        // Each head ends with exactly one blank line and parses as a response would.
        ASSERT_GE(head->size(), 4u);
        EXPECT_EQ(head->substr(head->size() - 4), "\r\n\r\n");
        EXPECT_EQ(head->find("\r\n\r\n"), head->size() - 4);
    }
}

TEST(HttpRequestTest, ErrorResponses) {
    for (int status : {400, 405, 408, 413, 503, 505}) {
        const std::string r = httpErrorResponse(status);
        const std::string line =
            "HTTP/1.0 " + std::to_string(status) + " " + std::string(httpReasonPhrase(status));
        EXPECT_EQ(r.rfind(line + "\r\n", 0), 0u) << status;
        EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos);
        const size_t bodyAt = r.find("\r\n\r\n") + 4;
        const std::string length = "Content-Length: " + std::to_string(r.size() - bodyAt);
        EXPECT_NE(r.find(length), std::string::npos) << status;
    }
    EXPECT_EQ(httpReasonPhrase(503), "Service Unavailable");
    EXPECT_NE(httpErrorResponse(405).find("Allow: GET, HEAD\r\n"), std::string::npos);
}

} // namespace

namespace {

TEST(HttpRequestTest, StreamTargetNamesACamera) {
    const struct {
        const char* target;
        int camera;
    } cases[] = {
        {"/", 0},
        {"/live.asf", 0},
        {"/cameras", 0},
        {"/camera1", 0},
        {"/camera/1", 1},
        {"/camera/36", 36},
        {"/camera/9/", 9},
        {"/camera/4?x=1", 4},
        {"/camera", -1},
        {"/camera/", -1},
        {"/camera/0", -1},
        {"/camera/37", -1},
        {"/camera/07", -1},
        {"/camera/1x", -1},
        {"/camera/123", -1},
        {"/camera/1/2", -1},
        // Absolute form, as a client set up for a proxy sends it: routed by its path.
        {"http://127.0.0.1:8801/camera/2", 2},
        {"HTTP://host/camera/36/", 36},
        {"mmsh://host:8801/camera/3?x=1", 3},
        {"http://host:8801", 0},
        {"http://host:8801?camera/2", 0},
        {"http://host/camera/0", -1},
        {"/camera/2?from=http://host/camera/5", 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(streamTargetCamera(c.target), c.camera) << c.target;
}

} // namespace
