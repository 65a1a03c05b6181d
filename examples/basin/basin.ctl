Control file of the example basin: three subbasins (352 cells) on a 24 x 20 grid of 250 m cells. Three days of hourly
station data (half_year.sh makes it half a year) are interpolated, combined by region, corrected for gauge
undercatch and for slope, aspect and terrain shadow; on them run evapotranspiration, irrigation from the river,
interception, snow with slides, silting-up, the soil model with macropores and frozen soil, surface routing, groundwater
and the discharge routing (reservoir under a rule, two abstractions), with one tracer through every store
(no lake yet; glacier_variant.sh adds a glacier). The run checks the set-up before the first step and writes the
outputs named in each section into the folder it is started in (line numbers of [model_time] are used by bench/).

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
5       number of meteorological inputs

[meteo_names]
precipitation
temperature
wind_speed
air_humidity
global_radiation

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
precip.asc                name of the result grid
40                        write code: daily sum grids
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
temp.asc                  name of the result grid
80                        write code: daily mean grids
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

[wind_speed]
1                         method: inverse distance
wind_speed.dat            hourly station data
none                      regression file (not used by inverse distance)
wind                      name of the result grid
0                         write code of the result grid
1.0                       scaling factor
wind_zones.txt 0           no statistics
999                       nodata
2                         idw weight
0.5                       idw fraction (not used)
20000                     maximum distance
0                         anisotropy slope
1                         anisotropy ratio b/a
0                         lower limit
0                         replacement below it
60                        upper limit
60                        replacement above it
0                         SzenUse: no scenario

[air_humidity]
1                         method: inverse distance
air_humidity.dat          hourly station data
none                      regression file (not used by inverse distance)
humidity                  name of the result grid
0                         write code of the result grid
1.0                       scaling factor
humidity_zones.txt 0       no statistics
999                       nodata
2                         idw weight
0.5                       idw fraction (not used)
20000                     maximum distance
0                         anisotropy slope
1                         anisotropy ratio b/a
0                         lower limit
0                         replacement below it
1                         upper limit
1                         replacement above it
0                         SzenUse: no scenario

[global_radiation]
1                         method: inverse distance
global_radiation.dat      hourly station data
none                      regression file (not used by inverse distance)
radiation                 name of the result grid
0                         write code of the result grid
1.0                       scaling factor
radiation_zones.txt 0      no statistics
999                       nodata
2                         idw weight
0.5                       idw fraction (not used)
20000                     maximum distance
0                         anisotropy slope
1                         anisotropy ratio b/a
0                         lower limit
0                         replacement below it
1260                      upper limit
1260                      replacement above it
0                         SzenUse: no scenario

[zone_grid]
zones.asc

[elevation_model]
elevation.asc

[standard_grids]
31       number of standard grids
landuse.asc   landuse      0   land-use codes of the [landuse_table]
soil.asc      soil_types   0   soil type codes of the [soil_table]
albedo.asc    albedo       fillcode = 0 readcode = 0 defaultValue = 0.2   created, not read
zones.asc     zonegrid_soilmodel   0   subbasins of the soil and snow models
SurfStorSiltingUp.asc   SurfStorSiltingUp    fillcode = 0 readcode = 0 defaultValue = 0   until silting-up runs
gw_thick_1.asc    aquifer_thickness_1    fillcode = 0 readcode = 0 defaultValue = 1    replaced by the soil depth
gw_thick_2.asc    aquifer_thickness_2    fillcode = 0 readcode = 0 defaultValue = 20
gw_kx_1.asc       gw_k_x_1               fillcode = 0 readcode = 0 defaultValue = 1e-4
gw_ky_1.asc       gw_k_y_1               fillcode = 0 readcode = 0 defaultValue = 1e-4
gw_kx_2.asc       gw_k_x_2               fillcode = 0 readcode = 0 defaultValue = 2e-4
gw_ky_2.asc       gw_k_y_2               fillcode = 0 readcode = 0 defaultValue = 1e-4
gw_st_1.asc       gw_storage_coeff_1     fillcode = 0 readcode = 0 defaultValue = 0.1
gw_st_2.asc       gw_storage_coeff_2     fillcode = 0 readcode = 0 defaultValue = 0.05
gw_fixh_1.asc     gw_boundary_fix_h_1    fillcode = 0 readcode = 0 defaultValue = -9999
gw_fixed_head_2.asc gw_boundary_fix_h_2  0   one fixed head at the outlet
gw_fixq_1.asc     gw_boundary_fix_q_1    fillcode = 0 readcode = 0 defaultValue = -9999
gw_fixq_2.asc     gw_boundary_fix_q_2    fillcode = 0 readcode = 0 defaultValue = -9999
gw_leak_1.asc     gw_kolmation_1         fillcode = 0 readcode = 0 defaultValue = 1e-8
river_depth.asc  river_depth   0   river cells: depth and width above 0
river_width.asc  river_width   0
river_links.asc  river_links   0
flow_times.asc   flow_times    0   flow-travel-time zones of surface routing
regions.asc      regression_regions   0   regions of the regional superposition: north 1, south 2
irrigation_codes.asc  irrigation_codes  0   irrigated meadows in the valley of subbasin 3 (code 1)
slidefraction1.asc slidefraction1 fillcode = 0 readcode = 0 defaultValue = 0.25   slide shares to the north
slidefraction2.asc slidefraction2 fillcode = 0 readcode = 0 defaultValue = 0.25   to the west
slidefraction3.asc slidefraction3 fillcode = 0 readcode = 0 defaultValue = 0.25   to the east
slidefraction4.asc slidefraction4 fillcode = 0 readcode = 0 defaultValue = 0.25   to the south (slide shares of the snow model)
tracer_in.asc    concflux_tracer_1_input   fillcode = 0 readcode = 0 defaultValue = 1   1 mg/l of the tracer in precipitation
lake_codes.asc   lake_codes   0   the lake of subbasin 3 (code 2, reservoir SP 2) on the river above the outlet
max_ponding.asc  max_ponding_storage   0   ponding depth (m): the lake full at 563 m, no other cell ponds

[variable_grids]
0       number of variable grids

[landuse_table]
1       number of land uses
1 meadow method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 366;
  Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5; AltDep = 0 0;
  SoilTillage = 1 120 280; SR_ResidCovrg = 0.1 0.1; }

[multilayer_landuse]
1       number of multilayer land uses
1 meadow { Landuse_Layers = 1; }

[soil_table]
1       number of soil types
1 loam { method = MultipleHorizons; layers = 2 8; thickness = 0.05 0.1; ksat = 1e-5;
  theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 2.0 1.5; Par_n = 1.5 1.25;
  GrainSizeDist = 0.4 0.4 0.2 0 0 0 0; PMacroThresh = 0.5; MacroCapacity = 2; CapacityRedu = 0.5; MacroDepth = 0.5; }

[radiation_correction]
1       flow control parameter
60      time step in minutes
2       method: radiation with terrain shadow, and temperature
tkorr.asc       file of the corrected temperature
50      write code: the mean over the run
1.0     temperature scaling factor
exkorr.asc      file of the radiation correction factor
50      write code: the mean over the run
shadow.asc      file of the terrain shadow
0       write code of the shadow
1       recompute every step
4       sub-steps per step

[soil_surface_groundwater_substeps]
1

[region_transition_distance]
2000    transition distance between regression regions (map units)

[substance_transport]
1       number of tracers
Cl non_radioactive non_evaporating min_conc = 0 mg/l max_conc = 1e9 mg/l soilini = 0 mg/l gwini = 0 mg/l statcode = 2024 gridcode = 3 path = tr_ statext = sta gridext = grd

[precipitation_correction]
1       do_it: correct precipitation for gauge undercatch
0.5     threshold temperature: rain above, snow at or below
1.1     constant rain
0.05    slope rain (per m/s of wind)
1.3     constant snow
0.1     slope snow (per m/s of wind)

[RegionalSuperposition]
1       flow control parameter
60      time step in minutes
NumberOfEntities = 1;
temperature_regional {
  entityinputgrid = temperature; regions = 1 2; weights = 1 1;
  outputgrid = temperature_regional.asc; writecode = 0; outputtable = temperature_regional_zones.txt; statcode = 2024;
}

[evapotranspiration]
1       flow control parameter
60      time step in minutes
1       method: Penman-Monteith
1.0 1.0 1.0 1.0 1.0 1.0 1.0 1.0 1.0 1.0 1.0 1.0
0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26 0.26
1.0                   fk - coast factor (Wendling)
etp.asc               potential transpiration grid
0                     its write code
etp_zones.txt 4024    zone sums of the potential evapotranspiration, one row a day
etr.asc               real transpiration grid
0                     its write code
etr_zones.txt 4024    zone sums of the real evapotranspiration (all components), one row a day
evap_pot.asc          potential soil evaporation grid
0                     its write code
evap_pot_zones.txt 0  no statistics
evap_real.asc         real soil evaporation grid
0                     its write code
evap_real_zones.txt 0 no statistics
snow_evap.asc         snow evaporation grid
0                     its write code
snow_evap_zones.txt 0 no statistics
eip.asc               potential interception evaporation grid
0                     its write code
eip_zones.txt 0       no statistics
rgex_zones.txt 0      corrected global radiation: no statistics
0.23 0.77 0.0 0.0                  radiation coefficients c0..c3 (c0: diffuse fraction)
0.072 -0.808 1.749 -0.239          sunshine coefficients CS[0]..CS[3]
0.7 0.05                           transmissivity and its annual amplitude
1000                               scale height of the temperature amplitude in m
6.0                                daily temperature amplitude in January, K
7.0
8.5
9.5
10.0
10.5
10.5
10.0
9.0
8.0
6.5
5.5                                ... in December
0.6 0.1                            day fraction of the amplitude and its annual variability
cloudiness_zones.txt 2024          zone means of the cloudiness, one row a day

[snow_model]
1       flow control parameter
60      time step in minutes
8       method for snow: degree-day with snow slides
1.0     transzone: half width of the rain/snow band (degrees C)
0.5     T0R: temperature of half snow, half rain
0.0     T0: threshold temperature of melt (the glacier variant: -3, so that the glacier snow is gone at the end of 2 January)
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
p_rain.txt 4024             rain statistics: zone sums, one row a day
snow.asc                    snow grid
0                           write code
p_snow.txt 4024             snow statistics: zone sums, one row a day
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
3                           write code: written at the end of the run
0                           readgrid: start without snow
snowtemp.asc                snow pack temperature grid (not used by degree-day methods)
0                           write code
snowtemp.txt 0              snow pack temperature statistics
surftemp.asc                surface temperature grid
0                           write code
surftemp.txt 0              surface temperature statistics
input_mass.asc              released snow grid
0                           write code
input_mass.txt 0            released snow statistics
mobile_mass.asc             mobile snow grid
0                           write code
mobile_mass.txt 0           mobile snow statistics
snow_deposition.asc         deposition grid
0                           write code
snow_deposition_zones.txt 4024  deposition statistics: zone sums, one row a day
55      maximum slope for deposition (degrees)
20      maximum deposition factor (mm)
0       minimum slope for slides (degrees): the example is flat
0.05    slide mass fraction
1.0     incoming long wave radiation correction factor
1.0     outgoing long wave radiation correction factor

[ice_firn]
11      Glacier-Method: dynamic glaciers, degree-day melt
6.0     DDFice (mm/(degree C day))
5.0     DDFfirn
100.0   DDFsnow: snow on the glacier melts within the hour
2.0     MF
0.01    Aice_min
0.02    Aice_max
0.005   Asnow_min
0.01    Asnow_max
10      kice_els (steps)
20      kfirn_els
5       ksnow_els
0       initial Qice_els
0       initial Qfirn_els
0       initial Qsnow_els
firn_melt.asc               firn melt grid
0                           write code
qfirn.txt 0                 firn melt statistics
ice_melt.asc                ice melt grid
0                           write code
qice.txt 0                  ice melt statistics
glacier_runoff_zones.txt 4024   glacier runoff statistics: zone sums, one row a day
qsnowglac.txt 0             snow melt on glaciers statistics
0                           read grid parameter: start from the section's values
3 700 0.5                   firn_levels, firn_base, deltafirnper100m
2 1                         GMBEvalDay, GMBEvalMonth: the yearly step runs at the end of 2 January
28.5 1.36 2 1               VAscaling, VAexponent, numElevBands, extraWeightFactorBand0
firn.stk                    firn stack
0                           write code
firn.txt 0                  firn statistics
glacier_balance.asc         glacier mass balance grid
3                           write code: written at the end of the run
glacier_balance_old.asc     glacier mass balance grid (old reference)
0                           write code
gmb1.txt 0                  mass balance statistics (subbasin)
gmb2.txt 0                  mass balance statistics (glacier part)
1.0                         global debris scaling factor
snow_noglac.txt 0           snow storage statistics outside glaciers
snow_solid_glac.asc         solid snow on glaciers
0                           write code
snow_liquid_glac.asc        liquid snow on glaciers
0                           write code
snow_total_glac.asc         total snow on glaciers
0                           write code
snow_melt_glac.asc          snow melt on glaciers
0                           write code
surftemp_glac.asc           surface temperature on glaciers
0                           write code
snowtemp_glac.asc           snow temperature on glaciers
0                           write code
snow_evap_glac.asc          snow evaporation on glaciers
0                           write code

[interception_model]
1       flow control parameter
60      time step in minutes
2       method: after snow, evaporation from the potential interception evaporation
throughfall.asc                     throughfall grid (layer 0: what reaches the ground)
0                                   its write code
throughfall_zones.txt 4024          throughfall statistics: zone sums, one row a day
interception_evap.asc               interception evaporation grid
0                                   its write code
interception_evap_zones.txt 4024    evaporation statistics: zone sums, one row a day
interception_storage.asc            interception storage grid
3                                   write code: written at the end of the run
interception_storage_zones.txt 2024 storage statistics: zone means, one row a day
0.2     maximum water layer thickness per unit of leaf area index (mm), the land use gives none
0       readgrid: start with empty storages

[SiltingUpModel]
1       flow control parameter
60      time step in minutes
2       method: built-in laws with the parameters below
silting_disposition_zones.txt 2024   disposition: zone means, one row a day
silting_runoff_zones.txt 4024        direct runoff: zone sums, one row a day
silting_disp.asc        disposition grid
0                       write code
silting_pause.asc       rain pause grid
0                       write code
silting_ekin.asc        kinetic energy grid
3                       write code: written at the end of the run
silting_tsbb.asc        time since tillage grid
0                       write code
silting_qdsu.asc        direct runoff grid
0                       write code
1 3                     subbasin codes
0.25 0.1                minimum rain pause in days (subbasins 1 and 2, subbasin 3)
0                       readgrid: start from zero
2.0                     A: initial infiltration rate in mm/h
0.5                     B
0.52                    C
-0.64                   D
0.013                   E
-1.03                   F
0.7                     G
-0.19                   H

[unsatzon_model]
1       flow control parameter
60      time step in minutes
2       method: finite differences with a fixed time step
0       surface water interaction
1       ponding (only the lake cells can hold water: max_ponding.asc)
0       drainage
0       clay layer
1e-9    saturated conductivity of the clay layer
2       initial groundwater level parameter
QDRAIN.txt 0     name of the QDRAINstatfiles in
GWSTAND.txt 0    name of the GWSTANDstatfiles in
GWN.txt 0        name of the GWNstatfiles in
SB_1.txt 0       name of the SB_1_statfiles in
SB_2.txt 2024    soil water of the profile (mm), zone means, one row a day
ROOT.txt 0       name of the ROOTstatfiles in
INFEX.txt 0      name of the INFEXstatfiles in
POND.txt 0       name of the PONDstatfiles in
QD.txt 0         name of the QDstatfiles in
QI.txt 0         name of the QIstatfiles in
QB.txt 0         name of the QBstatfiles in
Qg.txt 4024      total runoff per subbasin, one row a day
GWIN.txt 0       name of the GWINstatfiles in
GWEX.txt 0       name of the GWEXstatfiles in
MACRO.txt 0      name of the MACROstatfiles in
INFILT.txt 0     name of the INFILTstatfiles in
sb05.asc         name of the SB05 grid
0                write code of the SB05 grid
sb1_.asc         name of the SB1_ grid
50               write code of the SB1_ grid: the mean over the run
wurz.asc         name of the WURZ grid
0                write code of the WURZ grid
theta.stk        name of the Theta stack
0                write code of the Theta stack
hh.stk           name of the hh stack
0                write code of the hh stack
hgeo.stk         name of the hgeo stack
0                write code of the hgeo stack
qu.stk           name of the qunten stack
0                write code of the qunten stack
gwst.asc         name of the GWSTAND grid
0                write code of the GWSTAND grid
gwth.asc         name of the GWtheta grid
0                write code of the GWtheta grid
gwn.asc          name of the GWN grid
0                write code of the GWN grid
gwlevel.asc      name of the GWLEVEL grid
0                write code of the GWLEVEL grid
qdrain.asc       name of the QDRAIN grid
0                write code of the QDRAIN grid
satt.asc         name of the saturation grid
0                write code of the saturation grid
infex.asc        name of the infiltration excess grid
0                write code of the infiltration excess grid
qd.asc           name of the QD grid
0                write code of the QD grid
qi.asc           name of the QI grid
0                write code of the QI grid
deltagw.asc      name of the DELTAGW grid
0                write code of the DELTAGW grid
gwin.asc         name of the GWIN grid
0                write code of the GWIN grid
gwex.asc         name of the GWEX grid
0                write code of the GWEX grid
pond.asc         name of the POND grid
0                write code of the POND grid
uprise.asc       name of the GWN-Uprise grid
0                write code of the GWN-Uprise grid
percol.asc       name of the GWN-PERCOL grid
0                write code of the GWN-PERCOL grid
macro.asc        name of the MACROPORE-Infiltration grid
0                write code of the MACROPORE-Infiltration grid
irrig.asc        name of the IRRIG grid
0                write code of the IRRIG grid
10 10            control point: row 10, column 10 (a river cell of the valley)
qbottom.txt      bottom fluxes of the control point
theta.txt        water contents of the control point
hhyd.txt         hydraulic heads of the control point
otherdata.txt    other data of the control point
etr.txt          evapotranspiration per layer of the control point
interflow.txt    interflow per layer of the control point
1 2 3            subbasin codes
2 2 2            kelsqd: recession of direct flow in hours
50 50 50         kelsqi: recession of interflow in hours
1 1 1            channel network density
100 100 100      kelsqlat: recession of base flow in hours
0.1 0.1 0.1      Q0: base flow at the surface
0.5 0.5 0.5      fraction of snow melt running off at the surface
0                initial state from the groundwater level parameter
soilstate.txt    name of the storage content file

[heat_transfer]
1       flow control parameter: soil heat transfer with frozen soil
12      method of heat transfer modelling: implicit, with heat carried by the water
0       second value (not used)
0       third value (not used)
12.0       dTModLowBoundBase 
-0.007     dTModLapseRate 
800.0      dTModCDrySoil 
1500.0     dTModRhoDrySoil 
0.58       dTModLamDrySoil 
1e-10      dTModKmin 
0.5562     dTModLamWat 
2.33       dTModLamIce 
4187.0     dTModCWater 
1940.0     dTModCIce20 
2090.0     dTModCIce0 
334000.0   dTModLatHeat 
1000.0     dTModRhoWater 
1.22       dTModFactor 
0.5        dTModSEForStat 
60.0       dTModShortestStep 
600.0      dTModLongestStep 
1.0        dTModNFactorFreezing 
1.0        dTModNFactorThawing 
soil_temper_point.txt   temperatures of the control point
thaw_depth.txt 2024     thaw depth per subbasin, daily mean
soil_temper.stk         name of the soil temperature stack
3                       write code of the stack: at the end of the run
thaw_depth.asc          name of the thaw depth grid
0                       write code of the thaw depth grid

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
1       flow control parameter
60      time step in minutes
irrigation_groundwater_zones.txt 4024   irrigation from groundwater: zone sums, one row a day
irrigation_river_zones.txt 4024         irrigation from rivers and reservoirs: zone sums, one row a day

[irrigation_table]
1
1 valley_meadow 3 2 0.5 0.1

[groundwater_flow]
1       flow control parameter
60      time step in minutes
1       method
500     maxiter
1e-13   maxerror_allowed: the heads converge to their last digits, the same at any process count
1.0     alpha: fully implicit
1.0     sor-parameter: plain Gauss-Seidel
0       grid read parameter: start heads from the groundwater distance
2       number of layers
10 10   control point row and column
gw_control_point.txt   control point file
1       Use-Pond-Flag: the lake model needs it
gw_head_1.asc           heads of layer 1
0                       not written
gw_flow_x_1.asc         x-fluxes of layer 1
0
gw_flow_y_1.asc         y-fluxes of layer 1
0
gw_balance_1.asc        balance of layer 1
10                      summed over the run (gw_balance_1.sum): 0 but at fixed heads and inflows
gw_head_2.asc           heads of layer 2
3                       written at the end of the run
gw_flow_x_2.asc         x-fluxes of layer 2
3
gw_flow_y_2.asc         y-fluxes of layer 2
3
gw_balance_2.asc        balance of layer 2
10                      summed over the run (gw_balance_2.sum)

[routing_model]
1       flow control parameter
60      time step in minutes
10 1000 10 1    min. and max. specific discharge [l/s/km2], intervals of the tables, time sub-intervals
Qstat.txt 2024  name of the Qstatfiles for the routed discharge and its output code: daily means
none            observed discharge file for the comparison (none: no observations)
1               number column descriptors for the observed discharge
3 1             subbasin code and its column
0               Zeitoffset fuer Beginn der R-square-Berechnung fuer the goodness of fit
TG 1 (area [km2]) = 6 (area factor) = 1
  AL 2 = intern 0.05 0.3 1 m3/s (threshold, fraction, maximum): to inflow 2 of subbasin 3
TG 2 (area [km2]) = 8 (area factor) = 1
  AL 3 = extern abstraction_3.txt 0.05 0.2 0.5 m3/s (threshold, fraction, maximum): out of the basin
TG 3 (area [km2]) = 22 (area factor) = 1
  OL 1 (km kf bm bf D Mm Mf I L A) = 2 = 4 = 8 = 40 = 1 = 30 = 15 = 0.002 = 3000 = 6
  SUMTRIB 2 (km kf bm bf D Mm Mf I L A) = 3 = 6 = 10 = 60 = 1.5 = 35 = 15 = 0.001 = 4000 = 9
  ZL 1 = constant 0.5 (m3/s) = 1 = 2 = 5 = 20 = 0.8 = 25 = 10 = 0.003 = 2000 = 15
  ZL 2 = intern (from subbasin 1) = 1 = 2 = 4 = 15 = 0.8 = 25 = 10 = 0.003 = 1500 = 6
  SP 2 = file = lake_2.txt V0 = 1.5e6 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60
  SP 1 = file = reservoir_1.txt V0 = 1e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60
end of the routing descriptions

[abstraction_rule_reservoir_1]
3 1 182
0    0    0
5e4  0.5  1
5e5  4    6
TargetCap = 8 10

[abstraction_rule_reservoir_2]
4 1 366
0      0    0
1.5e6  0.5  0.5
2.5e6  5    5
3e6    20   20

[special_output]
0       flow control parameter
1440    time step in minutes

[lake_model]
1       flow control parameter: the cells of "lake_codes" are lakes (every reservoir with cells there)
1       initialization method: no change of grids
0.08    Albedo_OpenWater
0.001   z0_OpenWater
0       readgrids: the lake starts from V0 of its reservoir
