#include "cli.h"

#include <cerrno>
#include <cstdlib>

namespace zyl::cli {

bool Parse(const std::vector<std::string>& raw, const std::set<std::string>& flags,
           const std::set<std::string>& valued, Args& args, std::string& error) {
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const std::string& a = raw[i];
        if (a == "--") {
            // Everything after it is a name, even one that starts with '-'.
            args.positional.insert(args.positional.end(), raw.begin() + static_cast<long>(i) + 1,
                                   raw.end());
            return true;
        }
        if (a == "--json") {
            args.json = true;
        } else if (flags.count(a)) {
            args.flags.insert(a);
        } else if (valued.count(a)) {
            if (i + 1 >= raw.size()) {
                error = a + " needs a value";
                return false;
            }
            args.options[a] = raw[++i];
        } else if (a.size() > 1 && a[0] == '-' &&
                   !(a.size() > 1 && (std::isdigit(static_cast<unsigned char>(a[1])) != 0))) {
            error = "unknown option " + a;
            return false;
        } else {
            args.positional.push_back(a);
        }
    }
    return true;
}

bool ToInt(const std::string& text, long long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

bool ToDouble(const std::string& text, double& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0';
}

}  // namespace zyl::cli
