#include "cli/output_file.h"

#include "cli/image.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

// Short, so that any legal target name leaves room for it: a long target
// name with a suffix added would exceed the file system's name limit.
const std::string temporaryPrefix = ".sorvik-XXXXXX";

std::size_t nameMax(const std::string& directory)
{
    const long n = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    return n > 0 ? std::size_t(n) : std::size_t(NAME_MAX);
}

} // namespace

std::string finalTarget(const std::string& path)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = ::readlink(current.c_str(), link.data(), PATH_MAX);
        if (n < 0)
            throw UserError("output " + inQuotes(path) + ": " + std::strerror(errno));
        const fs::path next(std::string(link.data(), std::size_t(n)));
        current = next.is_absolute() ? next.string() : (fs::path(current).parent_path() / next).string();
    }
    throw UserError("output " + inQuotes(path) + ": too many levels of symbolic links");
}

std::string directoryOf(const std::string& path)
{
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

TemporaryFile::TemporaryFile(const std::string& directory, const std::string& extension,
                             const std::string& target)
{
    const std::string pattern = (fs::path(directory) / (temporaryPrefix + extension)).string();
    if (pattern.size() > PATH_MAX || temporaryPrefix.size() + extension.size() > nameMax(directory))
        throw UserError("output " + inQuotes(target) + ": the path is too long");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = -1;
    {
        const SignalsHeld held;
        fd = ::mkstemps(name.data(), int(extension.size()));
        if (fd < 0)
            throw UserError("cannot create a file in the directory of " + inQuotes(target) + ": " +
                            std::strerror(errno));
        path_ = name.data();
        try {
            cleanup_ = std::make_unique<InterruptCleanup>(path_, false);
        } catch (...) {
            ::close(fd);
            ::unlink(path_.c_str());
            throw;
        }
    }

    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        // Owner and group are kept where the user may set them; a failure
        // leaves the new file the user's own, as any new file would be.
        const int kept = ::fchown(fd, st.st_uid, st.st_gid);
        static_cast<void>(kept);
        ::fchmod(fd, st.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    ::close(fd);
}

TemporaryFile::~TemporaryFile()
{
    if (path_.empty())
        return;
    ::unlink(path_.c_str());
    cleanup_.reset();
}

void TemporaryFile::flush(const std::string& target)
{
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        throw UserError("cannot flush " + inQuotes(target) + ": " + std::strerror(err));
    }
    ::close(fd);
}

bool TemporaryFile::renameTo(const std::string& target)
{
    if (::rename(path_.c_str(), target.c_str()) != 0)
        return false;
    cleanup_.reset();
    path_.clear();
    return true;
}

} // namespace sorvik::cli
