#include "kernel/statefiles.hpp"

#include <mutex>
#include <set>

namespace statefiles {
namespace {

struct Registry {
    std::mutex lock;
    std::set<std::string> started;
    bool writing = false;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

void BeginRun() {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.started.clear();
    r.writing = false;
}

void BeginWritingState() {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.writing = true;
}

bool WritingState() {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    return r.writing;
}

bool StartedThisRun(const std::string& name) {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    return r.started.count(name) > 0;
}

void MarkStarted(const std::string& name) {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.started.insert(name);
}

const char* SectionMode(const std::string& name, bool append) {
    const bool ours = append && StartedThisRun(name);
    MarkStarted(name);
    return ours ? "a" : "w";
}

}  // namespace statefiles
