#pragma once
// Messages shared by the routing model and its descriptions.
namespace routing {

inline constexpr const char* kTableRangeMessage =
    "values for min/max specific discharge and/or discharge and time interval splitting   \n"
    "not found in control file";

}  // namespace routing
