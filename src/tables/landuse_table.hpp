#pragma once
// Reader of the land-use table "[landuse_table]" of the control file.
#include <vector>

#include "tables/landuse_entry.hpp"

class modelobject;

// Reads the section through the control-file stream of reader and returns records 0..N:
// record 0 holds N as its code and the table-wide balance period, records 1..N the entries
// in file order. soilModelVariant 2 adds the root-uptake fields to old fixed-format lines.
// Failures are logged and thrown as ModelError (17 section missing, 29 entries).
std::vector<landuse_entry> ReadLanduseTableSection(modelobject& reader, int soilModelVariant);
