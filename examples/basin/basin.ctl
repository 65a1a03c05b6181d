Control file of the example basin: three subbasins on a 6 x 5 grid of 1 km cells, one land
use and one soil type. Hourly precipitation and temperature of three stations are interpolated for three days; surface
routing runs on staged direct flow and interflow grids; every other sub-model is switched off; the run checks the set-up (grids,
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
10      number of standard grids
landuse.asc   landuse      0   land-use codes of the [landuse_table]
soil.asc      soil_types   0   soil type codes of the [soil_table]
albedo.asc    albedo       fillcode = 0 readcode = 0 defaultValue = 0.2   created, not read
river_depth.asc  river_depth   0   river cells: depth and width above 0
river_width.asc  river_width   0
river_links.asc  river_links   0
flow_times.asc   flow_times    0   flow-travel-time zones of surface routing
directflow.asc   directflow    0   direct flow, until the soil model provides it
interflow.asc    interflow     0   interflow, until the soil model provides it
surfstor.asc     SurfStorSiltingUp   fillcode = 0 readcode = 0 defaultValue = 0   surface storage, created

[variable_grids]
0       number of variable grids

[landuse_table]
1       number of land uses
1 meadow method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 366;
  Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5; AltDep = 0 0; }

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
0       flow control parameter
1440    time step in minutes

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
1       flow control parameter
60      time step in minutes
3       method for flowpath-calculation: aspect over three neighbours, terrain and water level
surfrout_qd.txt 4024      direct runoff per subbasin, daily sums
surfrout_qi.txt 0         interflow (not written)
surfrout_qb.txt 0         base flow (not written)
surfrout_qg.txt 4024      total runoff per subbasin, daily sums
surfrout_velocity.stk     velocity stack
0                         not written
surfrout_fluxes.stk       fluxes stack
0                         not written
0.001   maximum iteration error for A_NL [m]
10      maximum iteration steps for A_NL
0.0001  maximum iteration error for the velocity [m/s]
20      maximum iteration steps for the velocity
60      minimum sub time step [s]
3600    maximum sub time step [s]
0.01    minimum flow depth for the roughness of crops [m]
1       concentration factor
0       read the state at start
surfrout_storage.txt 2024
surfrout_state

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
