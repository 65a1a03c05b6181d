#pragma once
// An input value that carries no data for the step: the grid's nodata value or below, or not a
// number. The meteorological inputs hold nodata in every cell of a step without any valid
// station value; a sub-model takes such a cell as a step without the processes that input drives.
inline bool NoData(double value, double nodata) { return !(value > nodata); }
