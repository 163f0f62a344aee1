// STUB: replaced by VDisk, plain dumps and the D88 family.
#include "fdi.h"
const fixformat_t VDisk::FixFormat[] = {{-1, 0, 0, 0, 0, 0}};
VDisk::VDisk() {}
VDisk::~VDisk() {}
void VDisk::Init(int t, int c, int h) { type = t; cylinders = c; heads = h; }
void VDisk::Cleanup() {}
int VDisk::Import(const Filepath &, int) { return 0; }
int VDisk::Export(const Filepath &) { return 0; }
int VDisk::ImportFIX(const Filepath &) { return 0; }
int VDisk::ExportFIX(int, const Filepath &) { return 0; }
int VDisk::ImportD68(const Filepath &, int) { return 0; }
int VDisk::ExportD68(const Filepath &) { return 0; }
int VDisk::GetD68MediaOffset(const Filepath &, int) { return -1; }
