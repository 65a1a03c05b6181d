// The tables read through the set-up object's initialisation steps.
#include <mpi.h>

#include "setup/defltuzr.hpp"
#include "tables/parametertableset.hpp"
#include "table_test_support.hpp"

namespace {

const char* kControl =
    "[output_interval]\n60\n0\n0\n60 minutes\n"
    "[output_list]\n1\n1\n"
    "[coordinates]\n50.5\n8.25\n15\n1\n"
    "[meteo_data_count]\n1\n"
    "[meteo_names]\nprecipitation\n"
    "[model_time]\n1\n1\n1\n2000\n23\n31\n1\n2000\n"
    "[zone_grid]\nzones.asc\n[elevation_model]\ndem.asc\n[standard_grids]\n0\n"
    "[radiation_correction]\n0\n"
    "[multilayer_landuse]\n1\n5 meadow { Landuse_Layers = 7, 3; }\n"
    "[landuse_table]\n2\n"
    "7 grass method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 366;\n"
    " Albedo = 0.1 0.2; rsc = 1 2; LAI = 1 2; Z0 = 1 2; VCF = 0.1 0.2; RootDepth = 1 2; AltDep = 0 0; }\n"
    "3 shrub method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 366;\n"
    " Albedo = 0.1 0.2; rsc = 1 2; LAI = 1 2; Z0 = 1 2; VCF = 0.1 0.2; RootDepth = 1 2; AltDep = 0 0; }\n"
    "[soil_table]\n1\n4 loam 25 35 1e-5 300 1 0.45 0.05 2.0 1.5 5 0.2 1000 0.5\n"
    "[irrigation]\n1\n"
    "[irrigation_table]\n1\n9 drip 3 1 70 10\n";

class ParameterTableSetTest : public TableTest {};

TEST_F(ParameterTableSetTest, SetupStepsReadEveryTable) {
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) talvo_test::WriteFile("basin.ctl", kControl);
    MPI_Barrier(MPI_COMM_WORLD);
    GridStore store;
    unsigned error = 1;
    defaultini setup(error, &Log(), "basin.ctl", 2, &store);
    ASSERT_EQ(error, 0u);
    auto tables = std::make_shared<ParameterTableSet>();
    setup.SetParameterTables(tables);
    bool done = false;
    while (setup.CurrentStep() <= 5) setup.InitStep(done);
    MPI_Barrier(MPI_COMM_WORLD);

    ASSERT_EQ(tables->Landuse().size(), 3u);
    EXPECT_EQ(tables->Landuse()[2].name, "shrub");
    ASSERT_EQ(tables->Soil().size(), 2u);
    EXPECT_EQ(tables->Soil()[1].layerCount, 5);
    ASSERT_EQ(tables->Irrigation().size(), 2u);
    EXPECT_EQ(tables->Irrigation()[1].code, 9);
    EXPECT_EQ(setup.IrrigationSwitch(), 1);
    EXPECT_EQ(tables->MultilayerLayerCount(), 2);
    EXPECT_EQ(tables->MultilayerLanduseCode(1, 1), 7.0);
    EXPECT_EQ(tables->MultilayerLanduseCode(1, 3), -9999.0);
    EXPECT_EQ(tables->MultilayerLanduseCode(2, 1), -9999.0);
    tables->ClearIrrigationTable();
    EXPECT_TRUE(tables->Irrigation().empty());
}

}  // namespace
