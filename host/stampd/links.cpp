// quellox-stampd-links: signed download links for a partner list, one per
// row, for the service to stamp at download time.
//
//   quellox-stampd-links --key FILE BASE_URL LIST
//
// LIST is the CSV file that `quellox-stamp batch` reads, read by the same
// code (a header row naming error_code, linker, cookie, partner, traffic, in
// any order). Each row is checked as the service checks a request, so that
// every link printed is one it serves; one refused row, and nothing is
// printed.
#include <cstdio>
#include <string>
#include <vector>

#include "host/stampd/Attribution.h"
#include "tools/PartnerList.h"

namespace {

int Usage() {
    std::fputs("usage: quellox-stampd-links --key FILE BASE_URL LIST\n"
               "BASE_URL: where the service is reached, e.g. https://download.maker.com/q\n"
               "LIST: CSV with a header row among error_code, linker, cookie, partner, traffic\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || std::string(argv[1]) != "--key") return Usage();
    std::string key, error;
    if (!stampd::ReadKeyFile(argv[2], key, error)) return std::fprintf(stderr, "quellox-stampd-links: %s\n", error.c_str()), 1;
    std::string base = argv[3];
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::string listPath = argv[4];
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
