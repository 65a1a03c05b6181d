// The river records of the discharge routing as irrigation reads and lowers them.
#include "surface/irrigate.hpp"
#include "submodel/riverflow_table.hpp"

std::vector<irrigation::RiverChannel> irrigationclass::ReadChannels(int subbasins) const {
    std::vector<irrigation::RiverChannel> channels;
    if (riverflow == nullptr) return channels;
    channels.resize(static_cast<std::size_t>(subbasins) + 1);
    for (int s = 1; s <= subbasins; ++s) {
        const riverflow_table& rec = riverflow[s];
        irrigation::RiverChannel& ch = channels[static_cast<std::size_t>(s)];
        ch.flowm3s = rec.flowm3s;
        ch.flowMm = rec.flow_mm[0];
        ch.area = rec.area;
        ch.routed = rec.routingObject != 0;
    }
    return channels;
}

void irrigationclass::WriteChannels(const std::vector<irrigation::RiverChannel>& channels) const {
    if (riverflow == nullptr) return;
    for (std::size_t s = 1; s < channels.size(); ++s) {
        riverflow_table& rec = riverflow[s];
        if (!channels[s].routed) continue;
        rec.flowm3s = channels[s].flowm3s;
        rec.flow_mm[0] = channels[s].flowMm;
    }
}
