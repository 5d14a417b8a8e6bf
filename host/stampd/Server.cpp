// The stamping service's answers.
#include "host/stampd/Server.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/stampd/Attribution.h"
#include "host/stampd/Conditional.h"

namespace stampd {

namespace http = hosthttp::http;
using hosthttp::Quoted;
using hosthttp::Response;

namespace {

std::string_view View(boost::beast::string_view text) { return {text.data(), text.size()}; }

bool ReadFile(const std::string& path, stamp::Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::uint8_t buffer[65536];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + read);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

// A copy as the shared side sends it: the patched pieces from memory, the
// shared run (almost all of the file) from the sealed image file.
class CopyBody : public hosthttp::Body {
public:
    CopyBody(std::shared_ptr<const Loaded> source, Copy patches)
        : source_(std::move(source)), patches_(std::move(patches)) {}

    hosthttp::Segment At(std::size_t position) const override {
        const Release& installer = *source_->Installer;
        auto [runFirst, runEnd] = installer.SharedRun();
        if (position >= runFirst && position < runEnd)
            return {nullptr, source_->ImageFile.get(), position, runEnd - position};
        auto piece = installer.PieceAt(patches_, position);
        std::size_t size = piece.size();
        if (position < runFirst) size = std::min(size, runFirst - position);
        return {piece.data(), -1, 0, size};
    }

private:
    std::shared_ptr<const Loaded> source_;
    Copy patches_;
};

class Answers : public hosthttp::Handler {
public:
    Answers(const Settings& settings, std::shared_ptr<const Loaded> loaded)
        : settings_(settings), loaded_(std::move(loaded)) {}

    Response Handle(const hosthttp::Request& request) override;
    std::string DefaultLogFields() const override { return "sig=-"; }
    void Reload() override;
    std::string Describe() const override {
        auto loaded = Current();
        return "installer " + loaded->Installer->Digest() + " " + std::to_string(loaded->Installer->Size()) +
               " bytes, unsigned requests " + (settings_.RefuseUnsigned ? "refused" : "served without campaign values");
    }

private:
    std::shared_ptr<const Loaded> Current() const {
        std::lock_guard lock(mutex_);
        return loaded_;
    }

    Settings settings_;
    mutable std::mutex mutex_;
    std::shared_ptr<const Loaded> loaded_;
};

Response Answers::Handle(const hosthttp::Request& incoming) {
    const auto& request = incoming.Message;
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        Response response = hosthttp::Refusal(http::status::method_not_allowed, "only GET and HEAD are served");
        response.Message.set(http::field::allow, "GET, HEAD");
        return response;
    }
    auto loaded = Current();
    const Release& installer = *loaded->Installer;

    if (request.target() == "/healthz") {
        Response response;
        response.Message.set(http::field::content_type, "text/plain; charset=utf-8");
        response.Message.set(http::field::cache_control, "no-store");
        response.Message.body() = "ok " + installer.Digest() + " " + std::to_string(installer.Size()) + "\n";
        return response;
    }

    Attribution attribution;
    std::string reason;
    if (!ParseTarget(View(request.target()), attribution, reason)) return hosthttp::Refusal(http::status::bad_request, reason);
    SignatureCheck check = CheckSignature(attribution, loaded->Key, loaded->OldKey);
    std::string fields = std::string("sig=") + stampd::Describe(check) + " name=" + Quoted(attribution.FileName) +
                         " cookie=" + Quoted(attribution.Values[dtCookie]) + " partner=" +
                         Quoted(attribution.Values[dtIdPartner]) + " traffic=" + Quoted(attribution.Values[dtIdTraffic]);
    std::string fileName = attribution.FileName;
    std::string values[consts::DataTypeCount] = {attribution.Values[0], attribution.Values[1], attribution.Values[2]};
    if (check == SignatureCheck::Missing || check == SignatureCheck::Bad) {
        if (settings_.RefuseUnsigned) {
            Response response = hosthttp::Refusal(
                http::status::forbidden,
                check == SignatureCheck::Missing ? "the link is not signed" : "the link's signature does not hold");
            response.LogFields = fields;
            return response;
        }
        // No attribution without a signature: neither the values nor the name's.
        fileName = "qlx-setup.exe";
        for (auto& value : values) value.clear();
    }

    Copy patches = installer.MakeCopy(values);
    std::size_t begin = 0, end = installer.Size();
    auto headers = [&](Response& response) {
        response.LogFields = fields;
        response.Message.set(http::field::etag, patches.ETag);
        response.Message.set(http::field::cache_control, "public, max-age=" + std::to_string(settings_.MaxAgeSeconds));
        response.Message.set(http::field::accept_ranges, "bytes");
    };

    if (auto inm = request.find(http::field::if_none_match);
        inm != request.end() && MatchesAnyTag(View(inm->value()), patches.ETag)) {
        Response response;
        response.Message.result(http::status::not_modified);
        headers(response);
        return response;
    }

    http::status status = http::status::ok;
    std::size_t first = 0, last = 0;
    auto range = request.find(http::field::range);
    auto ifRange = request.find(http::field::if_range);
    if (range != request.end() && (ifRange == request.end() || IfRangeHolds(View(ifRange->value()), patches.ETag))) {
        RangeKind kind = ParseRange(View(range->value()), installer.Size(), first, last);
        if (kind == RangeKind::Unsatisfiable) {
            Response response;
            response.Message.result(http::status::range_not_satisfiable);
            headers(response);
            response.Message.set(http::field::content_range, "bytes */" + std::to_string(installer.Size()));
            response.Message.set(http::field::content_type, "text/plain; charset=utf-8");
            response.Message.body() = "the range lies past the end of the file\n";
            response.Reason = "range not satisfiable";
            return response;
        }
        if (kind == RangeKind::Part) {
            status = http::status::partial_content;
            begin = first;
            end = last + 1;
        }
    }

    Response response;
    response.Message.result(status);
    headers(response);
    response.Message.set(http::field::content_type, "application/vnd.microsoft.portable-executable");
    response.Message.set(http::field::content_disposition, "attachment; filename=\"" + fileName + "\"");
    response.Message.set("X-Content-Type-Options", "nosniff");
    if (status == http::status::partial_content)
        response.Message.set(http::field::content_range, "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                             "/" + std::to_string(installer.Size()));
    response.Message.content_length(end - begin);
    response.Stream = std::make_shared<CopyBody>(loaded, std::move(patches));
    response.First = begin;
    response.End = end;
    return response;
}

// A new release (or key) is read beside the one in use; requests in flight
// keep the old one, new requests get the new one. A file that cannot be read
// leaves the old one in place.
void Answers::Reload() {
    std::string error;
    auto loaded = LoadAll(settings_, error);
    if (!loaded) {
        hosthttp::LogLine(hosthttp::LogTime() + " reload refused, still serving the previous installer: " + error);
        return;
    }
    hosthttp::LogLine(hosthttp::LogTime() + " reloaded: installer " + loaded->Installer->Digest() + " " +
                      std::to_string(loaded->Installer->Size()) + " bytes" +
                      (loaded->OldKey.empty() ? "" : ", two keys"));
    std::lock_guard lock(mutex_);
    loaded_ = std::move(loaded);
}

}  // namespace

std::shared_ptr<const Loaded> LoadAll(const Settings& settings, std::string& error) {
    auto loaded = std::make_shared<Loaded>();
    stamp::Bytes bytes;
    if (!ReadFile(settings.InstallerPath, bytes)) return error = settings.InstallerPath + ": cannot be read", nullptr;
    loaded->Installer = Release::Load(std::move(bytes), error);
    if (!loaded->Installer) return error = settings.InstallerPath + ": " + error, nullptr;
    // The image in a sealed memory file: sendfile reads the shared run from it.
    loaded->ImageFile = hosthttp::UniqueFd(::memfd_create("quellox-stampd-image", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    const stamp::Bytes& image = loaded->Installer->Image();
    for (std::size_t written = 0; loaded->ImageFile && written < image.size();) {
        ssize_t n = ::write(loaded->ImageFile.get(), image.data() + written, image.size() - written);
        if (n <= 0) return error = std::string("cannot hold the image in memory: ") + std::strerror(errno), nullptr;
        written += static_cast<std::size_t>(n);
    }
    if (!loaded->ImageFile ||
        ::fcntl(loaded->ImageFile.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return error = std::string("cannot hold the image in memory: ") + std::strerror(errno), nullptr;
    if (!ReadKeyFile(settings.KeyPath, loaded->Key, error)) return nullptr;
    if (!settings.OldKeyPath.empty() && !ReadKeyFile(settings.OldKeyPath, loaded->OldKey, error)) return nullptr;
    return loaded;
}

int Serve(const Settings& settings, std::shared_ptr<const Loaded> loaded) {
    Answers answers(settings, std::move(loaded));
    return hosthttp::Serve(settings.Server, answers);
}

}  // namespace stampd
