#pragma once
// Network cameras as the settings file keeps them, and the rules that keep their passwords out
// of everything but that file.
//
//   [NetCam1]
//   Name=Front door
//   Url=rtsp://192.0.2.10:554/stream1
//   User=admin
//   Password=secret
//
// Sections are numbered from 1 without gaps; the first number without a section (or without a
// Url) ends the list.
#include <string>
#include <string_view>
#include <vector>

namespace norvale {

class IniDocument;

struct NetCameraConfig {
    std::string name;
    std::string url; // rtsp://, http:// or https://, possibly with user:password@
    std::string user;
    std::string password;

    bool operator==(const NetCameraConfig&) const = default;
};

std::vector<NetCameraConfig> readNetCameras(const IniDocument& ini);
// Writes the list as [NetCam1] … and empties the Url of sections past its end, so a removed
// camera is not read again.
void writeNetCameras(IniDocument& ini, const std::vector<NetCameraConfig>& cameras,
                     std::size_t previousCount);
// The same through the settings file's single-key writes (collected when it is updating).
class IniFile;
void writeNetCameras(IniFile& ini, const std::vector<NetCameraConfig>& cameras,
                     std::size_t previousCount);
// Whether any of the cameras carries a password (in its field or in its address).
bool holdsPassword(const std::vector<NetCameraConfig>& cameras);

// "rtsp", "http" or "https" for a usable address, empty otherwise (with `reason` set).
std::string netCameraScheme(std::string_view url, std::string* reason = nullptr);

// The camera's identity: its address without user and password, scheme and host in lower case.
// Two entries with the same identity are the same camera.
std::string netCameraIdentity(std::string_view url);

// The user and password written into the address itself (rtsp://user:pw@host/…), decoded
// from percent escapes; empty when there are none.
struct UrlCredentials {
    std::string user;
    std::string password;
};
UrlCredentials credentialsInUrl(std::string_view url);

// Text fit to show or log: every "scheme://user:password@" loses its password, and every
// occurrence of each non-empty secret becomes "***".
std::string scrubCredentials(std::string_view text, const std::vector<std::string>& secrets = {});

} // namespace norvale
