#pragma once
// "[snow_model]" of the example basin (degree-day method, outputs off), without its head line,
// for the fuzz targets that build a snow model and vary another of its sections.
namespace fuzz_support {

inline const char* const kSnowSection =
    "1\n60\n1\n1.0\n0.5\n0.0\n0.1\n2.0\n2.5\n2.0\n0.5\n0.1\n1.0\n3.0\n0.45\n0.9\nrain.asc\n0\n"
    "p_rain.txt 0\nsnow.asc\n0\np_snow.txt 0\nsnowdays.asc\n0\nsnowdays.txt 0\nsnowage.asc\n0\n"
    "snowage.txt 0\nalbedo.txt 0\nsnow_outflow.asc\n0\nsnow_outflow_zones.txt 4024\nsnow_melt.asc\n0\n"
    "snow_melt.txt 0\nsnow_solid.asc\n0\nsnow_liquid.asc\n0\nsnow_storage_zones.txt 2024\n"
    "snow_total.asc\n1\n0\nsnowtemp.asc\n0\nsnowtemp.txt 0\nsurftemp.asc\n0\nsurftemp.txt 0\n"
    "input_mass.asc\n0\ninput_mass.txt 0\nmobile_mass.asc\n0\nmobile_mass.txt 0\nsnow_deposition.asc\n0\n"
    "snow_deposition_zones.txt 4024\n55\n20\n0\n0.05\n1.0\n1.0\n\n";

}  // namespace fuzz_support
