#pragma once
// Reader of the soil table "[soil_table]" of the control file.
#include <vector>

#include "tables/soil_entry.hpp"

class modelobject;

// Reads the section through reader's control-file stream; returns records 0..count (record 0
// holds the count as its code). Every soil type must have the same number of layers.
// Failures are logged and thrown as ModelError (17, 29, 30, 110, 131).
std::vector<soil_entry> ReadSoilTableSection(modelobject& reader, int soilModelVariant);
