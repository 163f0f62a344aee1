// STUB: replaced by HFE and the import/export dispatch.
#include "zeldisk.h"
int ZELDisk::Import(const Filepath &, int) { return 0; }
int ZELDisk::Export(const Filepath &, int) { return 0; }
int ZELDisk::ImportHFE(const Filepath &) { return 0; }
int ZELDisk::ExportHFE(const Filepath &) { return 0; }
