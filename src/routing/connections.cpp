#include "routing/connections.hpp"

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"

namespace routing {

namespace {
const char* const kFirstLine = "FATAL: \n ---> Error in connecting internal abstractions with internal inflows:\n";

[[noreturn]] void Fail(DiagLog& log, int description, int tgCode, const std::string& text, int code) {
    log << kFirstLine << "in routing description " << description << " for TG " << tgCode << ":\n" << text
        << "[end-entry]";
    throw ModelError(code);
}
}  // namespace

std::vector<int> ConnectInternalFlows(const std::vector<InternalInflow>& inflows,
                                      const std::vector<InternalAbstraction>& abstractions, DiagLog& log) {
    std::vector<int> source(inflows.size(), -1);
    std::vector<bool> connected(abstractions.size(), false);
    for (std::size_t n = 0; n < inflows.size(); ++n) {
        const InternalInflow& in = inflows[n];
        for (std::size_t a = 0; a < abstractions.size(); ++a) {
            const InternalAbstraction& al = abstractions[a];
            if (al.code != in.code) continue;
            const std::string z = std::to_string(in.code);
            if (source[n] >= 0)
                Fail(log, al.description, al.tgCode,
                     "Inflow " + z + " is already connected to an internal abstraction.\n"
                     "Each abstaction (AL-element) must be conencted to exactly one internal inflow(ZL-element)\n",
                     300);
            if (al.tgCode == in.tgCode) {
                log << kFirstLine << "Abstraction AL " << in.code << " from routing description " << al.description
                    << " and inflow ZL " << in.code << " are both defined for the same routing-subbasin TG "
                    << in.tgCode << ".\n" << "this is not allowed\n" << "[end-entry]";
                throw ModelError(301);
            }
            source[n] = static_cast<int>(a);
            connected[a] = true;
        }
        if (source[n] < 0)
            Fail(log, in.description, in.tgCode,
                 "Internal Inflow ZL " + std::to_string(in.code) +
                     " has no conenction to an internal abstraction.\nthis is not allowed\n",
                 302);
    }
    for (std::size_t a = 0; a < abstractions.size(); ++a)
        if (!connected[a])
            Fail(log, abstractions[a].description, abstractions[a].tgCode,
                 "Internal abstraction AL " + std::to_string(abstractions[a].code) +
                     " is not connected to any internal inflow.\n",
                 303);
    return source;
}

}  // namespace routing
