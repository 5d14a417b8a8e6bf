// The command line of the host services.
#include "host/http/CommandLine.h"

#include <cstdio>
#include <cstdlib>

namespace hosthttp {

bool ReadNumber(const std::string& text, unsigned max, unsigned& number) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value > max) return false;
    number = static_cast<unsigned>(value);
    return true;
}

bool ReadListen(const std::string& text, std::string& address, unsigned short& port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    unsigned number = 0;
    if (!ReadNumber(text.substr(colon + 1), 65535, number)) return false;
    address = text.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
    port = static_cast<unsigned short>(number);
    return true;
}

void AddServerFlags(CommandLine& line, Options& options) {
    line.Flags.push_back({"listen", [&options](const std::string& v) { return ReadListen(v, options.Address, options.Port); }});
    line.Flags.push_back({"threads", [&options](const std::string& v) { return ReadNumber(v, 256, options.Threads); }});
    line.Flags.push_back({"max-connections", [&options](const std::string& v) {
                              return ReadNumber(v, 1000000, options.MaxConnections) && options.MaxConnections > 0;
                          }});
    line.Flags.push_back({"stop-timeout", [&options](const std::string& v) {
                              return ReadNumber(v, 86400, options.StopTimeoutSeconds);
                          }});
}

std::string ServerFlagsUsage(const std::string& prefix, const std::string& defaultListen) {
    return "  --listen ADDRESS:PORT     " + prefix + "LISTEN, default " + defaultListen + "\n"
           "  --threads N               " + prefix + "THREADS, default one per core\n"
           "  --max-connections N       " + prefix + "MAX_CONNECTIONS, default " + std::to_string(DefaultMaxConnections) +
           " (within the open-file limit)\n"
           "  --stop-timeout SECONDS    " + prefix + "STOP_TIMEOUT, default 30: how long SIGTERM waits for the\n"
           "                            requests in flight (a second SIGTERM or SIGINT ends them at once)\n"
           "  --help, --version\n";
}

namespace {

std::string VariableOf(const std::string& prefix, const std::string& name) {
    std::string variable = prefix;
    for (char c : name) variable += c == '-' ? '_' : static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return variable;
}

int Fault(const CommandLine& line, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n%s", line.Program.c_str(), what.c_str(), line.Usage.c_str());
    return 2;
}

}  // namespace

std::optional<int> ReadCommandLine(const CommandLine& line, int argc, char** argv) {
    std::vector<std::string> given;
    for (const Flag& flag : line.Flags) {
        std::string variable = VariableOf(line.EnvironmentPrefix, flag.Name);
        const char* value = std::getenv(variable.c_str());
        if (value == nullptr || *value == 0) continue;
        if (!flag.Apply(value)) return Fault(line, variable + ": value refused: " + value);
        given.push_back(flag.Name);
    }
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") return std::fputs(line.Usage.c_str(), stdout), 0;
        if (argument == "--version") return std::printf("%s %s\n", line.Program.c_str(), line.Version.c_str()), 0;
        std::string name = argument.rfind("--", 0) == 0 ? argument.substr(2) : std::string();
        const Flag* flag = nullptr;
        for (const Flag& candidate : line.Flags)
            if (candidate.Name == name) flag = &candidate;
        if (flag == nullptr) return Fault(line, "unknown flag " + argument);
        if (i + 1 >= argc) return Fault(line, argument + " needs a value");
        std::string value = argv[++i];
        if (!flag->Apply(value)) return Fault(line, argument + ": value refused: " + value);
        given.push_back(name);
    }
    for (const std::string& required : line.Required) {
        bool found = false;
        for (const std::string& name : given) found = found || name == required;
        if (!found) return Fault(line, "--" + required + " is required");
    }
    return std::nullopt;
}

}  // namespace hosthttp
