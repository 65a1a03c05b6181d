#pragma once
// What the program asks of the MPI library's start where the user leaves it open.

// The components the hardware-locality library (which MPICH loads in MPI_Init) is told to skip
// when HWLOC_COMPONENTS is not set: the PCI and I/O device discovery. The program needs the
// processor topology only; the device scan reads the configuration space of every PCI device,
// which the kernel serialises between processes, so that MPI_Init took 110-150 ms at 8 processes
// on one machine against 25-45 ms without it.
inline constexpr const char* kSkippedTopologyComponents = "-pci,-linuxio";

// Sets HWLOC_COMPONENTS to kSkippedTopologyComponents unless the user set it (an empty value
// counts as set: the user asked for the library's default). Call before MPI_Init.
void SkipDeviceDiscovery();
