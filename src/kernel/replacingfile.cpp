#include "kernel/replacingfile.hpp"

#include <cerrno>
#include <utility>

ReplacingFile::ReplacingFile(std::string target, const char* mode)
    : target_(std::move(target)), temporary_(TemporaryName(target_)), file_(std::fopen(temporary_.c_str(), mode)) {}

ReplacingFile::~ReplacingFile() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    std::remove(temporary_.c_str());
}

bool ReplacingFile::Commit() {
    std::FILE* f = file_;
    file_ = nullptr;
    if (f == nullptr) return false;
    if (std::fclose(f) != 0) {
        std::remove(temporary_.c_str());
        return false;
    }
    return CommitTemporary(target_);
}

bool ReplacingFile::Keep() {
    std::FILE* f = file_;
    file_ = nullptr;
    if (f == nullptr) return false;
    if (std::fclose(f) == 0) return true;
    std::remove(temporary_.c_str());
    return false;
}

bool CommitTemporary(const std::string& target) {
    const std::string temporary = ReplacingFile::TemporaryName(target);
    if (std::rename(temporary.c_str(), target.c_str()) == 0) return true;
    std::remove(temporary.c_str());
    return false;
}

namespace {
bool g_normalEndPending = false;
}  // namespace

void SetNormalEndPending(bool pending) { g_normalEndPending = pending; }
bool NormalEndPending() { return g_normalEndPending; }

TableFile::~TableFile() {
    file_.reset();
    if (pending_) std::remove(ReplacingFile::TemporaryName(name_).c_str());
}

std::FILE* TableFile::Open(bool append) {
    const bool continuePart = append && pending_;
    header_ = !append;
    file_ = std::make_unique<ReplacingFile>(name_, continuePart ? "ab" : "wb");
    bool ok = static_cast<bool>(*file_);
    if (ok && append && !continuePart) {
        if (std::FILE* old = std::fopen(name_.c_str(), "rb")) {
            char buffer[65536];
            std::size_t n;
            while (ok && (n = std::fread(buffer, 1, sizeof buffer, old)) > 0)
                ok = std::fwrite(buffer, 1, n, file_->get()) == n;
            ok = ok && std::ferror(old) == 0;
            std::fclose(old);
        }
    }
    if (!ok) {
        const int reason = errno;
        file_.reset();
        errno = reason;
        return nullptr;
    }
    if (!append) pending_ = false;
    return file_->get();
}

bool TableFile::Close() {
    if (!file_) return true;
    std::unique_ptr<ReplacingFile> f = std::move(file_);
    const bool written = std::ferror(f->get()) == 0 && std::fflush(f->get()) == 0;
    const int reason = errno;
    if (!written) {
        f.reset();  // removes the temporary file; the table in place stays
        pending_ = false;
        errno = reason;
        return false;
    }
    if (header_) {
        pending_ = f->Keep();
        return pending_;
    }
    pending_ = false;
    return f->Commit();
}

bool TableFile::Finish() {
    if (!pending_) return true;
    pending_ = false;
    return CommitTemporary(name_);
}
