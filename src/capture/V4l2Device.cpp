#include "V4l2Device.h"

#include "core/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace norvale::v4l2 {
namespace {

class Node {
public:
    explicit Node(const std::string& path)
        : fd_(path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    bool ok() const { return fd_.valid(); }
    bool ioctl(unsigned long request, void* arg) const {
        int r;
        do
            r = ::ioctl(fd_.get(), request, arg);
        while (r < 0 && errno == EINTR);
        return r == 0;
    }

private:
    UniqueFd fd_;
};

} // namespace

std::optional<Format> currentFormat(const std::string& devicePath) {
    Node node(devicePath);
    if (!node.ok())
        return std::nullopt;
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (!node.ioctl(VIDIOC_G_FMT, &f) || f.fmt.pix.width == 0 || f.fmt.pix.height == 0)
        return std::nullopt;
    return Format{static_cast<int>(f.fmt.pix.width), static_cast<int>(f.fmt.pix.height),
                  f.fmt.pix.pixelformat};
}

std::vector<Control> controls(const std::string& devicePath) {
    std::vector<Control> out;
    Node node(devicePath);
    if (!node.ok())
        return out;
    v4l2_queryctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (node.ioctl(VIDIOC_QUERYCTRL, &q)) {
        const bool settable = !(q.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY |
                                           V4L2_CTRL_FLAG_INACTIVE | V4L2_CTRL_FLAG_GRABBED));
        const bool kind = q.type == V4L2_CTRL_TYPE_INTEGER || q.type == V4L2_CTRL_TYPE_BOOLEAN ||
                          q.type == V4L2_CTRL_TYPE_MENU;
        if (settable && kind) {
            v4l2_control c{};
            c.id = q.id;
            if (node.ioctl(VIDIOC_G_CTRL, &c)) {
                const char* name = reinterpret_cast<const char*>(q.name);
                out.push_back({q.id, std::string(name, strnlen(name, sizeof q.name)), q.minimum,
                               q.maximum, q.default_value, c.value});
            }
        }
        q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return out;
}

bool setControl(const std::string& devicePath, uint32_t id, int value) {
    Node node(devicePath);
    if (!node.ok())
        return false;
    v4l2_control c{};
    c.id = id;
    c.value = value;
    return node.ioctl(VIDIOC_S_CTRL, &c);
}

std::string rawFormatName(uint32_t pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
        return "YUY2";
    case V4L2_PIX_FMT_UYVY:
        return "UYVY";
    case V4L2_PIX_FMT_YVYU:
        return "YVYU";
    case V4L2_PIX_FMT_NV12:
        return "NV12";
    case V4L2_PIX_FMT_YUV420:
        return "I420";
    case V4L2_PIX_FMT_YVU420:
        return "YV12";
    case V4L2_PIX_FMT_GREY:
        return "GRAY8";
    case V4L2_PIX_FMT_BGR24:
        return "BGR";
    case V4L2_PIX_FMT_RGB24:
        return "RGB";
    default:
        return {};
    }
}

bool isJpeg(uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

} // namespace norvale::v4l2
