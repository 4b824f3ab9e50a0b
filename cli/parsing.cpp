#include "cli/parsing.h"

#include "frontend/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvik::cli {

namespace {

// What a value looked like, for a message: cut short and with control bytes
// shown as '?', since it may come from a binary file.
std::string shown(const std::string& text)
{
    std::string out;
    for (char c : text.substr(0, 32))
        out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return "'" + out + (text.size() > 32 ? "...'" : "'");
}

bool allDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

// True when the whole of `text` is a number; ERANGE is no failure here, since
// 1e-320 and 1e400 are numbers that the range checks speak about.
bool readReal(const std::string& text, double& value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}


} // namespace

std::vector<double> loadWindow(const std::string& source, std::int32_t blockSize)
{
    const std::string prefix = "kaiser";
    if (source == prefix)
        return kaiserWindow2d(blockSize, defaultKaiserBeta);
    if (source.rfind(prefix + ":", 0) == 0) {
        const double beta = parseReal(source.substr(prefix.size() + 1), "--window kaiser:BETA");
        try {
            return kaiserWindow2d(blockSize, beta);
        } catch (const std::invalid_argument& e) {
            throw UserError(std::string("--window: ") + e.what());
        }
    }

    const std::string what = "window file '" + source + "'";
    // Opened without waiting, then refused unless regular: a FIFO with no
    // writer would block the open, and a device never ends.
    const int fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw UserError(what + ": " + std::strerror(errno));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(::fdopen(fd, "r"), &std::fclose);
    if (!file) {
        ::close(fd);
        throw UserError(what + ": " + std::strerror(errno));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0)
        throw UserError(what + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw UserError(what + " is a directory");
    if (!S_ISREG(st.st_mode))
        throw UserError(what + " is not a regular file (a device, FIFO or socket)");

    const std::size_t wanted = std::size_t(blockSize) * std::size_t(blockSize);
    // No number is longer than this; a longer word is not one, whatever follows.
    constexpr std::size_t longestWord = 64;
    std::vector<double> window;
    std::string word;
    int line = 1;
    bool comment = false;
    auto endWord = [&] {
        if (word.empty())
            return;
        double value = 0.0;
        if (word.size() > longestWord || !readReal(word, value))
            throw UserError(what + ", line " + std::to_string(line) + ": " + shown(word) +
                            " is not a number");
        if (window.size() == wanted)
            throw UserError(what + " has more than " + std::to_string(wanted) +
                            " weights; a block size of " + std::to_string(blockSize) + " needs " +
                            std::to_string(wanted));
        window.push_back(value);
        word.clear();
    };
    for (int c; (c = std::getc(file.get())) != EOF;) {
        if (c == '\n') {
            endWord();
            comment = false;
            ++line;
        } else if (comment) {
            continue;
        } else if (c == '#') {
            endWord();
            comment = true;
        } else if (c == ',' || std::isspace(c)) {
            endWord();
        } else {
            word += char(c);
            if (word.size() > longestWord)
                endWord();
        }
    }
    if (std::ferror(file.get()))
        throw UserError(what + " could not be read: " + std::strerror(errno));
    endWord();
    if (window.empty())
        throw UserError(what + " holds no weights; a block size of " + std::to_string(blockSize) +
                        " needs " + std::to_string(wanted));
    if (window.size() < wanted)
        throw UserError(what + " has " + std::to_string(window.size()) +
                        " weights; a block size of " + std::to_string(blockSize) + " needs " +
                        std::to_string(wanted));
    return window;
}

double parseReal(const std::string& text, const std::string& option)
{
    if (text.empty())
        throw UsageError(option + ": the value is empty; it must be a number");
    double value = 0.0;
    if (!readReal(text, value))
        throw UsageError(option + ": " + shown(text) + " is not a number");
    return value;
}

std::int32_t parseWhole(const std::string& text, const std::string& option)
{
    if (text.empty())
        throw UsageError(option + ": the value is empty; it must be a whole number");
    const bool sign = text[0] == '-' || text[0] == '+';
    if (!allDigits(text.substr(sign ? 1 : 0)))
        throw UsageError(option + ": " + shown(text) + " is not a whole number");
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        throw UserError(option + " " + text + " is out of range (" +
                        std::to_string(std::numeric_limits<std::int32_t>::min()) + " to " +
                        std::to_string(std::numeric_limits<std::int32_t>::max()) + ")");
    return std::int32_t(value);
}

std::uint64_t parseCount(const std::string& text, const std::string& option)
{
    if (text.empty())
        throw UsageError(option + ": the value is empty; it must be a whole number");
    const bool sign = text[0] == '-' || text[0] == '+';
    if (!allDigits(text.substr(sign ? 1 : 0)))
        throw UsageError(option + ": " + shown(text) + " is not a whole number");
    // strtoull takes "-1" as 2^64 - 1; a negative count is out of range.
    const std::string digits = text.substr(sign ? 1 : 0);
    const std::string range =
        " is out of range (0 to " + std::to_string(std::numeric_limits<std::uint64_t>::max()) + ")";
    if (text[0] == '-' && digits.find_first_not_of('0') != std::string::npos)
        throw UserError(option + " " + text + range);
    errno = 0;
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno == ERANGE)
        throw UserError(option + " " + text + range);
    return std::uint64_t(value);
}

} // namespace sorvik::cli
