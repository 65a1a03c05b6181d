#include "kernel/replacingfile.hpp"

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

bool CommitTemporary(const std::string& target) {
    const std::string temporary = ReplacingFile::TemporaryName(target);
    if (std::rename(temporary.c_str(), target.c_str()) == 0) return true;
    std::remove(temporary.c_str());
    return false;
}
