// The command line of the host services: every setting a flag `--name VALUE`
// or an environment variable PREFIX_NAME, `--help` and `--version` (exit 0),
// an unknown flag or a refused value named in one line before the usage
// (exit 2). The flags every HTTP service shares (--listen, --threads,
// --max-connections, --stop-timeout) come from AddServerFlags.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/http/Server.h"

namespace hosthttp {

struct Flag {
    std::string Name;  // without the leading "--"
    // Takes the value; false when it is refused.
    std::function<bool(const std::string& value)> Apply;
};

struct CommandLine {
    std::string Program;          // "quellox-stampd"
    std::string Version;          // printed by --version
    std::string Usage;            // the whole usage text
    std::string EnvironmentPrefix;  // "QUELLOX_STAMPD_": --old-key is QUELLOX_STAMPD_OLD_KEY
    std::vector<Flag> Flags;
    // The flags that must be given (by flag or environment).
    std::vector<std::string> Required;
};

// Reads the environment, then the arguments (a flag overrides its
// variable). Empty when the service is to start; otherwise the exit code,
// once --help, --version or a fault has been printed.
std::optional<int> ReadCommandLine(const CommandLine& line, int argc, char** argv);

// "ADDRESS:PORT", "[v6 address]:PORT"; false when it is not of that shape.
bool ReadListen(const std::string& text, std::string& address, unsigned short& port);
// Decimal digits, at most `max`.
bool ReadNumber(const std::string& text, unsigned max, unsigned& number);

// --listen, --threads, --max-connections and --stop-timeout into `options`.
void AddServerFlags(CommandLine& line, Options& options);
// Their lines of the usage.
std::string ServerFlagsUsage(const std::string& environmentPrefix, const std::string& defaultListen = "127.0.0.1:8080");

}  // namespace hosthttp
