#pragma once
// The river record of one subbasin: where the soil model's river exchange meets the channel of
// the discharge routing. The soil model owns one record per subbasin position (1-based); the
// routing fills the flow fields after every routing step and clears both exchange fields.
#include <cstdint>

struct riverflow_table {
    double flow_mm[10] = {};  // [0] the channel's flow (mm per step), [1..9] tracer values
    double flowm3s = 0;       // discharge of the channel, m3/s
    double speed = 0;         // flow velocity, m/s
    double area = 0;          // catchment area of the channel, km2
    double soilExchange = 0;  // water the soil columns took from the river in the step, m3/s
    double gwExchange = 0;    // groundwater side of the exchange (stays 0)
    std::int32_t routingObject = 0;  // number of the routing description holding the channel
    std::int32_t channel = 0;        // number of the channel within that description
};

static_assert(sizeof(riverflow_table) == 128, "the river record is 128 bytes");
