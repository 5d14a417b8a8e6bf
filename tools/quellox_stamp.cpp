// quellox-stamp: reads and writes the per-distribution values (campaign
// cookie, partner id, traffic id) in a signed installer's signature area,
// without breaking the signature, and makes a whole release of named copies.
//
//   quellox-stamp show FILE
//   quellox-stamp set FILE [--cookie VALUE] [--partner VALUE] [--traffic VALUE]
//   quellox-stamp batch [--check] [--force] INSTALLER LIST OUTDIR
//
// `set`: values not given keep what the file has (or blanks). The stamped
// file is written under a new name beside it and then moved over it, with the
// file's permissions; a refused file is left untouched.
// `batch`: LIST is a CSV file whose header names its columns (error_code,
// linker, cookie, partner, traffic); each row becomes a stamped copy of
// INSTALLER named qlx_<error_code>-setup_<linker>.exe in OUTDIR. Every row is
// checked before anything is written, the copies are written one at a time
// into a private folder, and only then moved into OUTDIR: one bad row or one
// failure, and no copy is left.
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "startup/uSettingsRules.h"
#include "startup/uSignatureBlock.h"
#include "startup/uStamp.h"
#include "tools/PartnerList.h"
#include "tools/StampFiles.h"

namespace {

namespace fs = std::filesystem;
using partners::Quoted;

const char* const Names[consts::DataTypeCount] = {"cookie", "partner", "traffic"};

const char* const UsageText =
    "usage: quellox-stamp show FILE\n"
    "       quellox-stamp set FILE [--cookie VALUE] [--partner VALUE] [--traffic VALUE]\n"
    "       quellox-stamp batch [--check] [--force] INSTALLER LIST OUTDIR\n"
    "       quellox-stamp batch --check LIST OUTDIR\n"
    "       quellox-stamp --help | --version\n"
    "\n"
    "show prints the values the installer reads from FILE; exit code 3 when FILE\n"
    "is signed but not stamped yet. set stamps FILE in place (not through a\n"
    "symbolic link: name the file itself).\n"
    "\n"
    "batch: LIST (\"-\" for standard input) is a CSV file with a header row naming\n"
    "its columns, among error_code, linker, cookie, partner and traffic (a missing\n"
    "column is empty). Each row gives one stamped copy of INSTALLER in OUTDIR,\n"
    "named qlx_<error_code>-setup_<linker>.exe (qlx-setup_<linker>.exe without an\n"
    "error code, qlx_<error_code>-setup.exe without a linker value). Nothing is\n"
    "written when any row is refused. A copy already in OUTDIR is kept when it is\n"
    "byte for byte the one batch would write, and otherwise refused; --force\n"
    "replaces it. --check checks the list, OUTDIR and (when given) INSTALLER and\n"
    "writes nothing.\n";

// A wrong command line: what is wrong, then the usage, on standard error.
int Usage(const std::string& what) {
    std::fprintf(stderr, "quellox-stamp: %s\n%s", what.c_str(), UsageText);
    return 2;
}

int Fail(const std::string& path, const std::string& why) {
    std::fprintf(stderr, "quellox-stamp: %s: %s\n", path.c_str(), why.c_str());
    return 1;
}

bool Refuse(const std::string& path, const std::string& why) {
    Fail(path, why);
    return false;
}

int Show(const std::string& path) {
    stamp::Bytes bytes;
    std::string why;
    if (!files::ReadAll(path, bytes, why)) return Fail(path, why);
    TSignatureBlock block = ScanSignatureBlock(bytes.data(), bytes.size());
    if (!block.IsValid) {
        if (!stamp::IsSignedPe(bytes, why)) return Fail(path, "carries no parameter block: " + why);
        Fail(path, "is signed but not stamped yet (the installer reads blank values; set stamps it)");
        return 3;
    }
    for (int type = 0; type < consts::DataTypeCount; ++type)
        std::printf("%s=%s\n", Names[type], partners::Narrow(block.Data[type]).c_str());
    return 0;
}

int Set(const std::string& path, int argc, char** argv) {
    std::wstring given[consts::DataTypeCount];
    bool isGiven[consts::DataTypeCount] = {};
    for (int i = 0; i < argc; i += 2) {
        std::string option = argv[i];
        int type = option == "--cookie" ? dtCookie : option == "--partner" ? dtIdPartner
                                                   : option == "--traffic" ? dtIdTraffic
                                                                           : -1;
        if (type < 0) return Usage("unknown option " + Quoted(option) + " for set");
        if (i + 1 >= argc) return Usage(option + " needs a value");
        given[type] = partners::Widen(argv[i + 1]);
        isGiven[type] = true;
        std::string why;
        if (!stamp::IsAcceptedValue(given[type], why))
            return Fail(path, std::string(Names[type]) + " " + Quoted(argv[i + 1]) + " refused: " + why);
    }

    // Replacing a link would leave its target unstamped and the link gone.
    std::error_code error;
    fs::file_status status = fs::symlink_status(path, error);
    if (fs::is_symlink(status))
        return Fail(path, "is a symbolic link (to " + Quoted(fs::read_symlink(path, error).string()) +
                              "); set stamps a file itself: name the file it points to");

    stamp::Bytes bytes;
    std::string why;
    if (!files::ReadAll(path, bytes, why)) return Fail(path, why);
    TSignatureBlock block = ScanSignatureBlock(bytes.data(), bytes.size());
    std::wstring values[consts::DataTypeCount];
    for (int type = 0; type < consts::DataTypeCount; ++type)
        values[type] = isGiven[type] ? given[type] : block.IsValid ? block.Data[type] : std::wstring();

    if (!stamp::StampFile(bytes, values, why)) return Fail(path, why);
    std::string temporary;
    if (!files::WriteNew(path + ".stamping", bytes, temporary, why)) return Fail(path + ".stamping.*", why);
    files::CopyAccess(path, temporary);
    if (!files::PlaceOver(temporary, path, why)) {
        std::remove(temporary.c_str());
        return Fail(path, why);
    }
    return 0;
}

// ---- batch ----

using partners::Row;
using partners::ColumnNames;

struct BatchArguments {
    bool Check = false;
    bool Force = false;
    std::string Installer;  // empty: --check without an installer
    std::string List;
    std::string OutDir;
};

enum class Action { Write, Keep, Replace };

// What a batch has made so far, undone on failure: only what it created.
struct BatchWork {
    std::vector<std::string> CreatedFolders;  // OUTDIR and its missing parents, outermost first
    std::string Staging;                      // the private folder inside OUTDIR
    std::vector<std::string> Staged;
    std::vector<std::string> Placed;

    void Undo() {
        std::error_code ignored;
        for (const std::string& path : Placed) fs::remove(path, ignored);
        for (const std::string& path : Staged) fs::remove(path, ignored);
        if (!Staging.empty()) fs::remove(Staging, ignored);
        for (auto folder = CreatedFolders.rbegin(); folder != CreatedFolders.rend(); ++folder) fs::remove(*folder, ignored);
    }
};

bool StampRow(const stamp::Bytes& installer, const Row& row, stamp::Bytes& copy, std::string& why) {
    copy = installer;
    std::wstring values[consts::DataTypeCount] = {partners::Widen(row.Cells[partners::colCookie]),
                                                  partners::Widen(row.Cells[partners::colPartner]),
                                                  partners::Widen(row.Cells[partners::colTraffic])};
    return stamp::StampFile(copy, values, why);
}

// The file as the installer reads it: its values from its signature block
// and its file name. Empty when it reads back every cell of the row.
std::string ReadBackFault(const stamp::Bytes& bytes, const Row& row) {
    TSignatureBlock block = ScanSignatureBlock(bytes.data(), bytes.size());
    std::wstring name = partners::Widen(row.FileName);
    std::string read[partners::ColumnCount] = {
        partners::Narrow(rules::ReadFileNameErrorCode(name)), partners::Narrow(rules::ReadFileNameGAParam(name)),
        partners::Narrow(block.Data[dtCookie]), partners::Narrow(block.Data[dtIdPartner]),
        partners::Narrow(block.Data[dtIdTraffic])};
    for (int column = 0; column < partners::ColumnCount; ++column) {
        if (block.IsValid && read[column] == row.Cells[column]) continue;
        return std::string("reads back ") + ColumnNames[column] + " " + Quoted(read[column]) + " instead of " +
               Quoted(row.Cells[column]);
    }
    return {};
}

// The files already in OUTDIR, by their lower-case names; false with a
// reason when OUTDIR exists and cannot be listed.
bool ListOutDir(const std::string& outDir, std::map<std::string, std::string>& present, std::string& why) {
    std::error_code error;
    fs::file_status status = fs::status(outDir, error);
    if (!fs::exists(status)) return true;
    if (!fs::is_directory(status)) return why = "is not a folder", false;
    for (fs::directory_iterator entry(outDir, error), end; !error && entry != end; entry.increment(error))
        present.emplace(partners::LowerCase(entry->path().filename().string()), entry->path().filename().string());
    if (error) return why = "cannot be read: " + error.message(), false;
    return true;
}

// Decides, for each row, whether its copy is written, kept or replaced, and
// reports every copy in the way. `installer` is empty when not given.
bool PlanCopies(const BatchArguments& args, const stamp::Bytes& installer, const std::vector<Row>& rows,
                std::vector<Action>& actions) {
    std::map<std::string, std::string> present;
    std::string why;
    if (!ListOutDir(args.OutDir, present, why)) return Refuse(args.OutDir, why);
    bool ok = true;
    stamp::Bytes copy, existing;
    for (const Row& row : rows) {
        actions.push_back(Action::Write);
        auto found = present.find(partners::LowerCase(row.FileName));
        if (found == present.end()) continue;
        fs::path target = fs::path(args.OutDir) / found->second;
        std::string where = args.List + ":" + std::to_string(row.Line);
        if (found->second != row.FileName) {
            ok = Refuse(where, target.string() + " differs from " + Quoted(row.FileName) +
                                   " only in letter case, and Windows sees one file; remove it or choose another folder");
            continue;
        }
        std::error_code error;
        fs::file_status status = fs::symlink_status(target, error);
        if (fs::is_regular_file(status) && !installer.empty() && StampRow(installer, row, copy, why) &&
            files::ReadAll(target.string(), existing, why) && existing == copy) {
            actions.back() = Action::Keep;
            existing.clear();
            continue;
        }
        existing.clear();
        if (args.Force && !fs::is_directory(status)) {
            actions.back() = Action::Replace;
            continue;
        }
        std::string what = fs::is_regular_file(status) ? "already exists" : "already exists and is not a regular file";
        if (fs::is_regular_file(status) && !installer.empty()) what += " with other contents";
        ok = Refuse(where, target.string() + " " + what + " and is not replaced" +
                               (fs::is_directory(status) ? "" : " (--force replaces it)") +
                               "; remove it or choose another folder");
    }
    return ok;
}

// Creates OUTDIR and whatever of its parents is missing, noting each.
bool MakeOutDir(const std::string& outDir, BatchWork& work, std::string& failedPath, std::string& why) {
    std::error_code error;
    fs::path folder = fs::absolute(outDir, error).lexically_normal();
    if (folder.filename().empty()) folder = folder.parent_path();
    std::vector<fs::path> missing;
    for (fs::path at = folder; !at.empty() && !fs::exists(fs::symlink_status(at, error)); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        if (!fs::create_directory(*at, error) || error) {
            failedPath = at->string();
            why = "cannot be created: " + (error ? error.message() : std::string("it appeared meanwhile"));
            return false;
        }
        work.CreatedFolders.push_back(at->string());
    }
    return true;
}

int Batch(const BatchArguments& args) {
    std::string listName = args.List == "-" ? "(standard input)" : args.List;
    stamp::Bytes listBytes;
    std::string why;
    if (!files::ReadAll(args.List, listBytes, why)) return Fail(listName, why);
    std::vector<Row> rows;
    std::vector<std::string> faults;
    partners::ReadList(std::string(listBytes.begin(), listBytes.end()), listName, rows, faults);
    for (const std::string& fault : faults) std::fprintf(stderr, "quellox-stamp: %s\n", fault.c_str());
    if (!faults.empty()) return 1;

    // The installer is checked once: a fault of its own is not a row's.
    stamp::Bytes installer;
    if (!args.Installer.empty()) {
        if (!files::ReadAll(args.Installer, installer, why)) return Fail(args.Installer, why);
        stamp::Bytes probe = installer;
        const std::wstring blanks[consts::DataTypeCount];
        if (!stamp::StampFile(probe, blanks, why)) return Fail(args.Installer, why);
    }

    std::vector<Action> actions;
    if (!PlanCopies(args, installer, rows, actions)) return 1;
    if (args.Check) {
        int counts[3] = {};
        for (Action action : actions) ++counts[static_cast<int>(action)];
        std::printf("%s: %zu %s accepted: %d to write, %d already in %s and identical, %d to replace; nothing was "
                    "written\n",
                    listName.c_str(), rows.size(), rows.size() == 1 ? "row" : "rows", counts[0], counts[1], args.OutDir.c_str(), counts[2]);
        return 0;
    }

    // Each copy is stamped, written and read back in turn into a private
    // folder inside OUTDIR (one copy in memory at a time); only when all are
    // there are they moved into place.
    BatchWork work;
    auto failed = [&](const std::string& path, const std::string& reason) {
        work.Undo();
        return Fail(path, reason + "; no copy was kept");
    };
    std::string failedPath;
    if (!MakeOutDir(args.OutDir, work, failedPath, why)) return failed(failedPath, why);
    if (!files::MakeNewFolder((fs::path(args.OutDir) / ".quellox-stamp").string(), work.Staging, why))
        return failed(args.OutDir, why);
    stamp::Bytes copy, readBack;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (actions[i] == Action::Keep) continue;
        std::string staged = (fs::path(work.Staging) / rows[i].FileName).string();
        if (!StampRow(installer, rows[i], copy, why)) return failed(args.Installer, why);
        if (!files::WriteNewAt(staged, copy, why)) return failed(staged, why);
        work.Staged.push_back(staged);
        readBack.clear();
        if (!files::ReadAll(staged, readBack, why)) return failed(staged, why);
        std::string fault = ReadBackFault(readBack, rows[i]);
        if (!fault.empty()) return failed(staged, fault);
    }
    std::size_t stagedIndex = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (actions[i] == Action::Keep) continue;
        std::string target = (fs::path(args.OutDir) / rows[i].FileName).string();
        const std::string& staged = work.Staged[stagedIndex++];
        bool placed = actions[i] == Action::Replace ? files::PlaceOver(staged, target, why)
                                                    : files::PlaceNew(staged, target, why);
        if (!placed) return failed(target, why);
        work.Placed.push_back(target);
    }
    std::error_code ignored;
    fs::remove(work.Staging, ignored);

    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::string line = (fs::path(args.OutDir) / rows[i].FileName).string();
        for (int column = 0; column < partners::ColumnCount; ++column)
            line += std::string(" ") + ColumnNames[column] + "=" + Quoted(rows[i].Cells[column]);
        if (actions[i] == Action::Keep) line += " (identical copy already there, kept)";
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

int BatchCommand(int argc, char** argv) {
    BatchArguments args;
    std::vector<std::string> positional;
    for (int i = 0; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--check") args.Check = true;
        else if (argument == "--force") args.Force = true;
        else if (argument.size() > 1 && argument[0] == '-') return Usage("unknown option " + Quoted(argument) + " for batch");
        else positional.push_back(argument);
    }
    if (args.Check && positional.size() == 2) positional.insert(positional.begin(), "");
    if (positional.size() != 3)
        return Usage("batch needs INSTALLER, LIST and OUTDIR (" + std::to_string(positional.size()) + " given)");
    args.Installer = positional[0];
    args.List = positional[1];
    args.OutDir = positional[2];
    return Batch(args);
}

}  // namespace

int main(int argc, char** argv) {
    std::string verb = argc >= 2 ? argv[1] : "";
    if (verb == "--help" || verb == "-h" || verb == "help") return std::fputs(UsageText, stdout), 0;
    if (verb == "--version") return std::printf("quellox-stamp %s\n", QUELLOX_VERSION), 0;
    if (verb == "show") return argc == 3 ? Show(argv[2]) : Usage("show needs exactly one FILE");
    if (verb == "set") return argc >= 3 ? Set(argv[2], argc - 3, argv + 3) : Usage("set needs a FILE");
    if (verb == "batch") return BatchCommand(argc - 2, argv + 2);
    return Usage(verb.empty() ? "no command given" : "unknown command " + Quoted(verb));
}
