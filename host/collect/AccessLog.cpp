// Reading quellox-stampd's access log into the store.
#include "host/collect/AccessLog.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "startup/uSettingsRules.h"

namespace collect {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One token: a run up to the next blank, or a quoted text (\xHH escapes
// inside), either after "key=". False on a malformed token.
bool NextToken(std::string_view& line, std::string& key, std::string& value) {
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    key.clear();
    value.clear();
    if (line.empty()) return false;
    std::size_t at = 0;
    if (line[0] != '"') {
        while (at < line.size() && line[at] != ' ' && line[at] != '=' && line[at] != '"') ++at;
        if (at < line.size() && line[at] == '=') {
            key = std::string(line.substr(0, at));
            line.remove_prefix(at + 1);
            at = 0;
        }
    }
    if (!line.empty() && line[0] == '"') {
        for (at = 1; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] == '\\') {
                if (at + 3 >= line.size() || line[at + 1] != 'x') return false;
                int h = HexDigit(line[at + 2]), l = HexDigit(line[at + 3]);
                if (h < 0 || l < 0) return false;
                value += static_cast<char>(h * 16 + l);
                at += 3;
            } else {
                value += line[at];
            }
        }
        if (at >= line.size()) return false;
        line.remove_prefix(at + 1);
        return true;
    }
    at = 0;
    while (at < line.size() && line[at] != ' ') ++at;
    value = std::string(line.substr(0, at));
    line.remove_prefix(at);
    return true;
}

// "2026-12-10T12:00:00.123Z" into Unix seconds.
bool ParseTime(const std::string& text, std::int64_t& seconds) {
    std::tm utc{};
    int millis = 0;
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                    &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis, &zone) != 8 ||
        zone != 'Z')
        return false;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    seconds = static_cast<std::int64_t>(timegm(&utc));
    return true;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c);
    return narrow;
}

// FNV-1a, 64 bits, in hex: the same line always gives the same key.
std::string Digest(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[24];
    std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

// Where the service's own line starts: a journal or a shipper may have put
// its own prefix before it.
std::string_view FromTime(std::string_view line) {
    for (std::size_t at = 0; at + 20 <= line.size(); ++at) {
        if (line[at + 4] == '-' && line[at + 7] == '-' && line[at + 10] == 'T' && line[at + 13] == ':' &&
            (at == 0 || line[at - 1] == ' '))
            return line.substr(at);
    }
    return {};
}

}  // namespace

bool ParseServedLine(std::string_view whole, ServedCopy& copy) {
    std::string_view line = FromTime(whole);
    std::string key, time, peer, method, target, status, bytes, millis;
    if (!NextToken(line, key, time) || !key.empty() || !NextToken(line, key, peer) || !key.empty() ||
        !NextToken(line, key, method) || !key.empty() || !NextToken(line, key, target) || !key.empty() ||
        !NextToken(line, key, status) || !key.empty() || !NextToken(line, key, bytes) || !key.empty() ||
        !NextToken(line, key, millis) || !key.empty())
        return false;
    if (method != "GET" || status != "200") return false;
    ServedCopy read;
    if (!ParseTime(time, read.ServedAt)) return false;
    std::string signature, name, values[3];
    bool haveName = false;
    std::string value;
    while (NextToken(line, key, value)) {
        if (key == "sig") signature = value;
        else if (key == "name") name = value, haveName = true;
        else if (key == "cookie") values[0] = value;
        else if (key == "partner") values[1] = value;
        else if (key == "traffic") values[2] = value;
        else if (key == "aborted") return false;
    }
    if (!line.empty()) return false;  // a token that did not end
    if ((signature != "valid" && signature != "valid-old-key") || !haveName) return false;
    read.FileName = name;
    read.Campaign = values[0];
    read.Partner = values[1];
    read.Traffic = values[2];
    // The name's values, read as the installer reads them.
    read.ErrorCode = Narrow(rules::ReadFileNameErrorCode(Widen(name)));
    read.Linker = Narrow(rules::ReadFileNameGAParam(Widen(name)));
    read.Key = Digest(whole);
    copy = std::move(read);
    return true;
}

bool ImportLog(Store& store, const std::string& path, ImportReport& report, std::string& error) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::FILE* file = std::fopen(resolved, "rb");
    if (file == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{file};
    const std::string source = resolved;

    // The first line tells this file from one that replaced it.
    std::string first;
    for (int c; (c = std::fgetc(file)) != EOF && c != '\n';) first += static_cast<char>(c);
    std::string head = Digest(first);
    std::fseek(file, 0, SEEK_END);
    std::int64_t size = std::ftell(file);

    std::int64_t position = 0;
    std::string storedHead;
    if (!store.ImportPosition(source, position, storedHead, error)) return false;
    if (position > 0 && (storedHead != head || size < position)) {
        position = 0;
        report.Restarted = true;
    }
    report.From = position;
    std::fseek(file, static_cast<long>(position), SEEK_SET);

    constexpr std::size_t LinesPerCommit = 2000;
    std::string line;
    std::vector<ServedCopy> copies;
    std::int64_t lines = 0;
    auto commit = [&](std::int64_t at) {
        std::int64_t added = 0;
        if (!store.Begin(error)) return false;
        if (!store.AddServed(copies, added, error) || !store.SetImportPosition(source, at, head, error) ||
            !store.Commit(error)) {
            store.Rollback();
            return false;
        }
        report.Added += added;
        report.Served += static_cast<std::int64_t>(copies.size());
        report.Lines += lines;
        report.To = at;
        copies.clear();
        lines = 0;
        return true;
    };
    std::int64_t at = position;
    for (;;) {
        line.clear();
        int c;
        while ((c = std::fgetc(file)) != EOF && c != '\n') line += static_cast<char>(c);
        if (c == EOF) break;  // an unfinished last line waits for the next import
        at += static_cast<std::int64_t>(line.size()) + 1;
        ++lines;
        ServedCopy copy;
        if (ParseServedLine(line, copy)) copies.push_back(std::move(copy));
        if (lines >= static_cast<std::int64_t>(LinesPerCommit) && !commit(at)) return false;
    }
    if (std::ferror(file)) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return commit(at);
}

}  // namespace collect
