#pragma once
// Shared by the zone statistics files only.

namespace zonestat_detail {

// Ignores SIGINT while a table is written; afterwards either installs the program's interrupt
// handler again (buffer flushes) or restores the default action (headers, efficiency blocks).
class SignalScope {
public:
    enum class After { Reinstall, Default };
    explicit SignalScope(After after);
    ~SignalScope();
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

private:
    After after_;
};

}  // namespace zonestat_detail
