// Option values and window files as the user types them.
#ifndef SORVIK_CLI_PARSING_H
#define SORVIK_CLI_PARSING_H

#include "cli/image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sorvik::cli {

// Option values as typed. A value that is not of the option's kind (empty,
// "abc" for a number, "3.5" for a whole number) throws UsageError; a value of
// the right kind outside what the option takes throws UserError. `option`
// names the option in messages. Numbers too small for a double's normal range
// (1e-320) are numbers, and are left to the option's range check.
double parseReal(const std::string& text, const std::string& option);
std::int32_t parseWhole(const std::string& text, const std::string& option);
std::uint64_t parseCount(const std::string& text, const std::string& option);

// "kaiser:BETA" (or "kaiser" for the default beta), else the name of a text
// file holding blockSize^2 numbers separated by white space or commas, row
// after row of the block; '#' starts a comment. Reading stops at the first
// number too many, so the file's size never matters.
std::vector<double> loadWindow(const std::string& source, std::int32_t blockSize);

} // namespace sorvik::cli

#endif
