#include "NetCamera.h"

#include "IniFile.h"

#include <algorithm>
#include <cctype>

namespace norvale {

namespace {

constexpr std::size_t MaxNetCameras = 64;

std::string section(std::size_t n) {
    return "NetCam" + std::to_string(n);
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Where the authority of "scheme://authority/path" begins and ends; npos when there is no
// "://".
struct Authority {
    std::size_t begin = std::string_view::npos;
    std::size_t end = std::string_view::npos;
};

Authority authorityOf(std::string_view url, std::size_t from = 0) {
    Authority a;
    const auto sep = url.find("://", from);
    if (sep == std::string_view::npos)
        return a;
    a.begin = sep + 3;
    a.end = url.find_first_of("/?# \t\r\n\"'<>", a.begin);
    if (a.end == std::string_view::npos)
        a.end = url.size();
    return a;
}

int hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

std::vector<NetCameraConfig> readNetCameras(const IniDocument& ini) {
    std::vector<NetCameraConfig> cameras;
    for (std::size_t n = 1; n <= MaxNetCameras; ++n) {
        const auto url = ini.value(section(n), "Url");
        if (!url || url->empty())
            break;
        NetCameraConfig c;
        c.url = *url;
        c.name = ini.value(section(n), "Name").value_or("");
        c.user = ini.value(section(n), "User").value_or("");
        c.password = ini.value(section(n), "Password").value_or("");
        if (c.name.empty())
            c.name = netCameraIdentity(c.url);
        cameras.push_back(std::move(c));
    }
    return cameras;
}

namespace {

template <class Set>
void writeSections(const std::vector<NetCameraConfig>& cameras, std::size_t previousCount,
                   Set set) {
    std::size_t n = 1;
    for (const auto& c : cameras) {
        if (n > MaxNetCameras)
            break;
        set(section(n), "Name", c.name);
        set(section(n), "Url", c.url);
        set(section(n), "User", c.user);
        set(section(n), "Password", c.password);
        ++n;
    }
    for (; n <= std::min(previousCount, MaxNetCameras); ++n) {
        set(section(n), "Url", "");
        set(section(n), "Password", "");
    }
}

} // namespace

void writeNetCameras(IniDocument& ini, const std::vector<NetCameraConfig>& cameras,
                     std::size_t previousCount) {
    writeSections(
        cameras, previousCount,
        [&](const std::string& s, const char* k, const std::string& v) { ini.setValue(s, k, v); });
}

void writeNetCameras(IniFile& ini, const std::vector<NetCameraConfig>& cameras,
                     std::size_t previousCount) {
    writeSections(cameras, previousCount,
                  [&](const std::string& s, const char* k, const std::string& v) {
                      ini.writeString(s, k, v);
                  });
}

bool holdsPassword(const std::vector<NetCameraConfig>& cameras) {
    return std::any_of(cameras.begin(), cameras.end(), [](const NetCameraConfig& c) {
        return !c.password.empty() || !credentialsInUrl(c.url).password.empty();
    });
}

std::string netCameraScheme(std::string_view url, std::string* reason) {
    const auto a = authorityOf(url);
    const std::string scheme =
        a.begin == std::string_view::npos ? "" : lower(url.substr(0, a.begin - 3));
    if (scheme != "rtsp" && scheme != "http" && scheme != "https") {
        if (reason)
            *reason = "The address must begin with rtsp://, http:// or https://.";
        return {};
    }
    std::string_view host = url.substr(a.begin, a.end - a.begin);
    if (const auto at = host.rfind('@'); at != std::string_view::npos)
        host = host.substr(at + 1);
    if (host.empty() || host.front() == ':') {
        if (reason)
            *reason = "The address names no computer.";
        return {};
    }
    return scheme;
}

std::string netCameraIdentity(std::string_view url) {
    const auto a = authorityOf(url);
    if (a.begin == std::string_view::npos)
        return std::string(url);
    std::string_view host = url.substr(a.begin, a.end - a.begin);
    if (const auto at = host.rfind('@'); at != std::string_view::npos)
        host = host.substr(at + 1);
    return lower(url.substr(0, a.begin)) + lower(host) + std::string(url.substr(a.end));
}

UrlCredentials credentialsInUrl(std::string_view url) {
    const auto a = authorityOf(url);
    if (a.begin == std::string_view::npos)
        return {};
    const std::string_view authority = url.substr(a.begin, a.end - a.begin);
    const auto at = authority.rfind('@');
    if (at == std::string_view::npos)
        return {};
    const std::string_view info = authority.substr(0, at);
    const auto colon = info.find(':');
    if (colon == std::string_view::npos)
        return {percentDecode(info), {}};
    return {percentDecode(info.substr(0, colon)), percentDecode(info.substr(colon + 1))};
}

std::string scrubCredentials(std::string_view text, const std::vector<std::string>& secrets) {
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const auto a = authorityOf(text, pos);
        if (a.begin == std::string_view::npos)
            break;
        const std::string_view authority = text.substr(a.begin, a.end - a.begin);
        const auto at = authority.rfind('@');
        out.append(text.substr(pos, a.begin - pos));
        if (at != std::string_view::npos) {
            const std::string_view info = authority.substr(0, at);
            const auto colon = info.find(':');
            out.append(colon == std::string_view::npos ? info : info.substr(0, colon));
            if (colon != std::string_view::npos)
                out.append(":***");
            out.append(authority.substr(at));
        } else {
            out.append(authority);
        }
        pos = a.end;
    }
    out.append(text.substr(pos));
    for (const auto& secret : secrets) {
        if (secret.empty())
            continue;
        for (auto at = out.find(secret); at != std::string::npos; at = out.find(secret, at + 3))
            out.replace(at, secret.size(), "***");
    }
    return out;
}

} // namespace norvale
