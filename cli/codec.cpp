#include "cli/codec.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace sorvik::cli {

std::string lowerExtension(const std::string& path)
{
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

std::string firstLine(std::string message)
{
    message = message.substr(0, message.find('\n'));
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())))
        message.pop_back();
    return message;
}

std::string withDetail(const std::string& text, const std::string& detail)
{
    return detail.empty() ? text : text + " (" + detail + ")";
}

const OIIO::ImageSpec& unassociatedAlpha()
{
    static const OIIO::ImageSpec config = [] {
        OIIO::ImageSpec layout;
        layout.attribute("oiio:UnassociatedAlpha", 1);
        return layout;
    }();
    return config;
}

OIIO::TypeDesc sampleType(PixelDepth depth)
{
    switch (depth) {
    case PixelDepth::uint8:
        return OIIO::TypeDesc::UINT8;
    case PixelDepth::uint16:
        return OIIO::TypeDesc::UINT16;
    case PixelDepth::int8:
        return OIIO::TypeDesc::INT8;
    case PixelDepth::int16:
        return OIIO::TypeDesc::INT16;
    case PixelDepth::int32:
        return OIIO::TypeDesc::INT32;
    case PixelDepth::uint32:
        return OIIO::TypeDesc::UINT32;
    case PixelDepth::float16:
        return OIIO::TypeDesc::HALF;
    case PixelDepth::float64:
        return OIIO::TypeDesc::DOUBLE;
    case PixelDepth::float32:
        break;
    }
    return OIIO::TypeDesc::FLOAT;
}

bool depthOf(OIIO::TypeDesc type, PixelDepth& depth)
{
    switch (type.basetype) {
    case OIIO::TypeDesc::UINT8:
        depth = PixelDepth::uint8;
        return true;
    case OIIO::TypeDesc::UINT16:
        depth = PixelDepth::uint16;
        return true;
    case OIIO::TypeDesc::INT8:
        depth = PixelDepth::int8;
        return true;
    case OIIO::TypeDesc::INT16:
        depth = PixelDepth::int16;
        return true;
    case OIIO::TypeDesc::INT32:
        depth = PixelDepth::int32;
        return true;
    case OIIO::TypeDesc::UINT32:
        depth = PixelDepth::uint32;
        return true;
    case OIIO::TypeDesc::HALF:
        depth = PixelDepth::float16;
        return true;
    case OIIO::TypeDesc::DOUBLE:
        depth = PixelDepth::float64;
        return true;
    case OIIO::TypeDesc::FLOAT:
        depth = PixelDepth::float32;
        return true;
    default:
        return false;
    }
}

QuietStderr::QuietStderr()
{
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0)
        ::dup2(null, STDERR_FILENO);
    if (null >= 0)
        ::close(null);
}

QuietStderr::~QuietStderr()
{
    if (saved_ < 0)
        return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
}

} // namespace sorvik::cli
