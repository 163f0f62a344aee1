// STUB: replaced by DIM, FDI, FDD and NFD.
#include "fdi.h"
int VDisk::ImportDIM(const Filepath &) { return 0; }
int VDisk::ExportDIM(const Filepath &) { return 0; }
int VDisk::ImportFDI(const Filepath &) { return 0; }
int VDisk::ExportFDI(const Filepath &) { return 0; }
int VDisk::ImportFDD(const Filepath &) { return 0; }
int VDisk::ExportFDD(const Filepath &) { return 0; }
int VDisk::ImportNFD(const Filepath &) { return 0; }
int VDisk::ExportNFD(const Filepath &) { return 0; }
