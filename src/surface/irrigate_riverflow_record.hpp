#pragma once
// The river record per subbasin that the soil model owns and the discharge routing fills
// (128 bytes, subbasins 1..N), in the layout that irrigation reads and lowers. Irrigation
// touches it only in irrigate_riverflow.cpp, so the shared definition of the record can take
// this header's place without further change.
#include <cstdint>

struct riverflow_table {
    double flow_mm[10];         // 0: channel flow in mm; 1..9: tracer values of the channel water
    double flowm3s;             // discharge, m3/s
    double speed;               // flow velocity, m/s
    double area;                // catchment area of the channel
    double soilExchange;        // taken from the river by the soil columns of the step
    double groundwaterExchange; // the groundwater side of the exchange
    std::int32_t routingObject; // index of the routing description; 0: none
    std::int32_t channel;       // index of the channel in that description
};
static_assert(sizeof(riverflow_table) == 128, "a river record is 128 bytes");
