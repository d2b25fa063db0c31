#pragma once
// Which cameras another computer's Norvale serves: its live streams answer at
// http://HOST:PORT/camera/N while they record. Every number is asked at once (a HEAD request
// each), and the whole question takes at most `timeout`, whatever the computer does.
#include <chrono>
#include <string>
#include <vector>

namespace norvale {

// The camera numbers from `first` to `last` that answered "200", in ascending order; none when
// the computer cannot be reached.
std::vector<int> servedCameras(const std::string& host, int port, int first, int last,
                               std::chrono::milliseconds timeout);

// The address of camera `number` of that computer.
std::string servedCameraUrl(const std::string& host, int port, int number);

} // namespace norvale
