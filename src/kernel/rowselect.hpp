#pragma once
// The cell choice of a gathered grid row on process 0: each cell comes from process 0's own
// data, from the cells outside every region, or is nodata, as the region grid's row says.
#include <cstddef>

namespace rowselect {

// Cells 0..n-1: own[i] where region[i] is 0, outside[i] where region[i] is nodata, nodata
// elsewhere. The values are copied as they are; to must not overlap the other rows.
void SelectRow(double* to, const double* region, const double* own, const double* outside, double nodata, int n);

// The same, with the outside cells taken one after the other in cell order from
// values[*next .. received) (nodata once they run out); *next moves past the values taken.
void SelectRowStreamed(double* to, const double* region, const double* own, const double* values,
                       std::size_t* next, std::size_t received, double nodata, int n);

}  // namespace rowselect
