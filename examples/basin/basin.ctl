Control file of the example basin: three subbasins on a 6 x 5 grid of 1 km cells, one land
use and one soil type. Hourly precipitation and temperature of three stations are interpolated for three days; the snow
model (degree-day method, hourly) runs on them, every other sub-model is switched off; the run checks the set-up (grids,
tables, load balancing with the speed factors of MpiSpeedFactor.dat) and the time loop.

[output_interval]
1       run interval: log the step line of every step
0       warnings of the meteorological interpolation off
0       third output switch
0       min_to_int_end in minutes
WriteAsciiGrids = 1

[output_list]
3       number of subbasins in output list
1
2
3

[coordinates]
47.5    geographic latitude
8.5     geographic longitude
15.0    reference meridian
0       time shift of data time to lokal time

[meteo_data_count]
2       number of meteorological inputs

[meteo_names]
precipitation
temperature

[model_time]
1       starting hour
1       starting day
1       starting month
2020    starting year
24      end hour
3       end day
1       end month
2020    end year

[precipitation]
1                         method: inverse distance
precipitation.dat         hourly station data
none                      regression file (not used by inverse distance)
precip                    name of the result grid
0                         write code of the result grid
1.0                       scaling factor
precipitation_zones.txt 4024   zone sums, one row a day
999                       nodata: valid values lie within [-999, 999]
2                         idw weight
0.5                       idw fraction (not used)
20000                     maximum distance
0                         anisotropy slope
1                         anisotropy ratio b/a
0                         lower limit
0                         replacement below it
500                       upper limit
500                       replacement above it
0                         SzenUse: no scenario

[temperature]
1                         method: inverse distance
temperature.dat           hourly station data
none                      regression file (not used by inverse distance)
temp                      name of the result grid
0                         write code of the result grid
1.0                       scaling factor
temperature_zones.txt 2024     zone means, one row a day
999                       nodata
2                         idw weight
0.5                       idw fraction (not used)
20000                     maximum distance
0                         anisotropy slope
1                         anisotropy ratio b/a
-60                       lower limit
-60                       replacement below it
60                        upper limit
60                        replacement above it
0                         SzenUse: no scenario

[zone_grid]
zones.asc

[elevation_model]
elevation.asc

[standard_grids]
4       number of standard grids
zones.asc     zonegrid_soilmodel 0   subbasins of the soil and snow models
landuse.asc   landuse      0   land-use codes of the [landuse_table]
soil.asc      soil_types   0   soil type codes of the [soil_table]
albedo.asc    albedo       fillcode = 0 readcode = 0 defaultValue = 0.2   created, not read

[variable_grids]
0       number of variable grids

[landuse_table]
1       number of land uses
1 meadow method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 366;
  Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5; AltDep = 0 0; }

[multilayer_landuse]
1       number of multilayer land uses
1 meadow { Landuse_Layers = 1; }

[soil_table]
1       number of soil types
1 loam { method = MultipleHorizons; layers = 2 8; thickness = 0.05 0.1; ksat = 1e-5;
  theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 2.0 1.5; Par_n = 1.5 1.25; }

[radiation_correction]
0       flow control parameter
1440    time step in minutes

[soil_surface_groundwater_substeps]
1

[region_transition_distance]
2000    transition distance between regression regions (map units)

[substance_transport]
0       number of tracers

[precipitation_correction]
0       flow control parameter

[RegionalSuperposition]
0       flow control parameter
1440    time step in minutes

[evapotranspiration]
0       flow control parameter
1440    time step in minutes

[snow_model]
1       flow control parameter
60      time step in minutes
1       method for snow: degree-day
1.0     transzone: half width of the rain/snow band (degrees C)
0.5     T0R: temperature of half snow, half rain
0.0     T0: threshold temperature of melt
0.1     CWH: liquid water holding capacity
2.0     CRFR: refreezing coefficient
2.5     C0: degree-day factor (mm/(degree C day))
2.0     C1
0.5     C2
0.1     z0
1.0     RMFMIN
3.0     RMFMAX
0.45    ALBsnow_min
0.9     ALBsnow_max
rain.asc                    rain grid
0                           write code
p_rain.txt 0                rain statistics
snow.asc                    snow grid
0                           write code
p_snow.txt 0                snow statistics
snowdays.asc                snow days grid
0                           write code
snowdays.txt 0              snow days statistics
snowage.asc                 snow age grid
0                           write code
snowage.txt 0               snow age statistics
albedo.txt 0                albedo statistics
snow_outflow.asc            outflow grid
0                           write code
snow_outflow_zones.txt 4024 outflow statistics: zone sums, one row a day
snow_melt.asc               melt only grid
0                           write code
snow_melt.txt 0             melt only statistics
snow_solid.asc              solid storage grid
0                           write code
snow_liquid.asc             liquid storage grid
0                           write code
snow_storage_zones.txt 2024 storage statistics: zone means, one row a day
snow_total.asc              total storage grid
1                           write code: written at the end of the run
0                           readgrid: start without snow

[interception_model]
0       flow control parameter
1440    time step in minutes

[SiltingUpModel]
0       flow control parameter
1440    time step in minutes

[unsatzon_model]
0       flow control parameter
1440    time step in minutes

[SurfaceRoutingModel]
0       flow control parameter
1440    time step in minutes

[irrigation]
0       flow control parameter
1440    time step in minutes

[groundwater_flow]
0       flow control parameter
1440    time step in minutes

[routing_model]
0       flow control parameter
1440    time step in minutes

[special_output]
0       flow control parameter
1440    time step in minutes

[lake_model]
0       flow control parameter
