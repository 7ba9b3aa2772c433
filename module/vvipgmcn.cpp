// The program control node that leads the host to the method-table builder.
#include "module/export.h"
#include "module/records.h"

extern "C" void tulxbamf(void** block_out, int32_t* status_out);

extern "C" FTPAM_VISIBLE ProgramControlNode pcn_TULXBAMF;
ProgramControlNode pcn_TULXBAMF = {
    0x0000, 0xFFFF, 1024, 1024, "tulxbamf", tulxbamf, 2, 0x000025D3, 0x2211AA0E, 15,
};
