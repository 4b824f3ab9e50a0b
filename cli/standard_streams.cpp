#include "cli/standard_streams.h"

#include "cli/image.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace sorvik::cli {

namespace fs = std::filesystem;

std::string extensionOfFormat(const std::string& format)
{
    if (format == "png")
        return ".png";
    if (format == "tiff" || format == "tif")
        return ".tif";
    if (format == "jpg" || format == "jpeg")
        return ".jpg";
    return "";
}

ScratchDir::ScratchDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/sorvik-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data()))
        throw UserError("cannot make a temporary folder in '" + pattern.substr(0, pattern.size() - 14) +
                        "': " + std::strerror(errno));
    path_ = name.data();
    cleanups_.push_back(std::make_unique<InterruptCleanup>(path_, true));
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string ScratchDir::file(const std::string& name)
{
    const std::string path = (fs::path(path_) / name).string();
    cleanups_.push_back(std::make_unique<InterruptCleanup>(path, false));
    return path;
}

void saveStandardInput(const std::string& path, std::uint64_t limit)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw UserError("cannot store standard input: " + std::string(std::strerror(errno)));
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    std::vector<char> buffer(1 << 16);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw UserError("standard input could not be read: " + std::string(std::strerror(errno)));
        }
        total += std::uint64_t(n);
        if (limit != 0 && total > limit)
            throw UserError("standard input holds more than " + std::to_string(limit) +
                            " bytes, more than an image within --max-pixels takes");
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, buffer.data() + done, std::size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                throw UserError("cannot store standard input: " + std::string(std::strerror(errno)));
            }
            done += w;
        }
    }
    if (total == 0)
        throw UserError("standard input is empty");
}

void copyToStandardOutput(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw UserError("cannot read back the output: " + std::string(std::strerror(errno)));
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw UserError("cannot read back the output: " + std::string(std::strerror(errno)));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(STDOUT_FILENO, buffer.data() + done, std::size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                throw UserError("cannot write to standard output: " +
                                std::string(std::strerror(errno)));
            }
            done += w;
        }
    }
}


} // namespace sorvik::cli
