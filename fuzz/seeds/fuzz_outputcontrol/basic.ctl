[output_interval]
24 interval
1
0
60
WriteAsciiGrids = 1
DefaultOutputDirectory = out/

[output_list]
2
3
5
[coordinates]
50.5
8.2
15
1
[meteo_data_count]
2
[meteo_names]
precipitation
temperature
