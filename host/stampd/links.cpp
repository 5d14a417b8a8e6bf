// quellox-stampd-links: signed download links for a partner list, one per
// row, for the service to stamp at download time.
//
//   quellox-stampd-links --key FILE [--expires WHEN] BASE_URL LIST
//
// WHEN is a Unix time, or a time from now: +30d, +12h, +90m, +3600s. The
// links then carry it, signed; the service treats them as unsigned after it.
//
// LIST is the CSV file that `quellox-stamp batch` reads, read by the same
// code (a header row naming error_code, linker, cookie, partner, traffic, in
// any order). Each row is checked as the service checks a request, so that
// every link printed is one it serves; one refused row, and nothing is
// printed.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "host/stampd/Attribution.h"
#include "tools/PartnerList.h"

namespace {

const char* const UsageText =
    "usage: quellox-stampd-links --key FILE [--expires WHEN] BASE_URL LIST\n"
    "       quellox-stampd-links --help | --version\n"
    "BASE_URL: where the service is reached, e.g. https://download.maker.com/q\n"
    "LIST: CSV with a header row among error_code, linker, cookie, partner, traffic\n"
    "WHEN: when the links expire, a Unix time or a time from now (+30d, +12h, +90m, +3600s)\n";

int Usage(const std::string& what) {
    std::fprintf(stderr, "quellox-stampd-links: %s\n%s", what.c_str(), UsageText);
    return 2;
}

// A Unix time after `now`, or "+N" and a unit from now; empty when refused.
std::string ReadExpiry(const std::string& text, std::int64_t now) {
    std::string digits = text;
    std::int64_t unit = 0;
    if (!digits.empty() && digits[0] == '+') {
        char last = digits.size() > 2 ? digits.back() : 0;
        unit = last == 'd' ? 86400 : last == 'h' ? 3600 : last == 'm' ? 60 : last == 's' ? 1 : 0;
        if (unit == 0) return {};
        digits = digits.substr(1, digits.size() - 2);
    }
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
    std::int64_t value = std::stoll(digits);
    std::int64_t when = unit != 0 ? now + value * unit : value;
    if (when <= now) return {};
    return std::to_string(when);
}

}  // namespace

int main(int argc, char** argv) {
    std::string keyPath, expires;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") return std::fputs(UsageText, stdout), 0;
        if (argument == "--version") return std::printf("quellox-stampd-links %s\n", QUELLOX_VERSION), 0;
        if (argument == "--key" || argument == "--expires") {
            if (i + 1 >= argc) return Usage(argument + " needs a value");
            std::string value = argv[++i];
            if (argument == "--key") {
                keyPath = value;
            } else if ((expires = ReadExpiry(value, std::time(nullptr))).empty()) {
                return Usage("--expires: value refused: " + value + " (a Unix time to come, or +30d, +12h, +90m, +3600s)");
            }
            continue;
        }
        if (argument.size() > 1 && argument[0] == '-') return Usage("unknown flag " + argument);
        positional.push_back(argument);
    }
    if (keyPath.empty()) return Usage("--key is required");
    if (positional.size() != 2)
        return Usage("BASE_URL and LIST are needed (" + std::to_string(positional.size()) + " given)");
    std::string key, error;
    if (!stampd::ReadKeyFile(keyPath, key, error)) return std::fprintf(stderr, "quellox-stampd-links: %s\n", error.c_str()), 1;
    std::string base = positional[0];
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::string listPath = positional[1];
    std::FILE* file = std::fopen(listPath.c_str(), "rb");
    if (file == nullptr) return std::fprintf(stderr, "quellox-stampd-links: %s: cannot be read\n", listPath.c_str()), 1;
    std::string text;
    char buffer[65536];
    for (std::size_t read; (read = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, read);
    std::fclose(file);

    std::vector<partners::Row> rows;
    std::vector<std::string> faults;
    partners::ReadList(text, listPath, rows, faults, /*distinctNames=*/false);
    std::vector<std::string> links;
    for (const partners::Row& row : rows) {
        // The link the service would read back exactly these values from.
        stampd::Attribution wanted;
        wanted.FileName = row.FileName;
        for (int type = 0; type < consts::DataTypeCount; ++type) wanted.Values[type] = row.Cells[partners::colCookie + type];
        wanted.Expires = expires;
        std::string target = stampd::LinkTarget(wanted);
        stampd::Attribution read;
        std::string why;
        if (!stampd::ParseTarget(target, read, why)) {
            faults.push_back(listPath + ":" + std::to_string(row.Line) + ": " + why);
            continue;
        }
        std::string signature = stampd::Sign(key, stampd::CanonicalForm(read));
        links.push_back(base + target + (target.find('?') == std::string::npos ? "?" : "&") + "sig=" + signature);
    }
    for (const std::string& fault : faults) std::fprintf(stderr, "quellox-stampd-links: %s\n", fault.c_str());
    if (!faults.empty()) return 1;
    for (const std::string& link : links) std::printf("%s\n", link.c_str());
    return 0;
}
