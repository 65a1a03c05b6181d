#pragma once
// The connections of internal inflows (ZL "intern") with the internal abstractions (AL of kind
// intern, intern_with_rule, intern_with_rule_from_reservoir) that feed them: each inflow takes
// exactly one abstraction of its code from another routing subbasin, and every such
// abstraction feeds one inflow.
#include <vector>

class DiagLog;

namespace routing {

struct InternalInflow {
    int description = 0;  // number of the routing description holding the inflow
    int tgCode = 0;
    int code = 0;  // inflow number z
};

struct InternalAbstraction {
    int description = 0;
    int tgCode = 0;
    int code = 0;
};

// For every inflow, the position of the abstraction that feeds it (in the order given).
// Failures are FATAL entries with codes 300 (two abstractions for one inflow), 301 (inflow and
// abstraction in the same routing subbasin), 302 (an inflow without abstraction) and 303 (an
// abstraction without inflow).
std::vector<int> ConnectInternalFlows(const std::vector<InternalInflow>& inflows,
                                      const std::vector<InternalAbstraction>& abstractions, DiagLog& log);

}  // namespace routing
