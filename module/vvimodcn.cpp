// Module entry: the host calls mcn_main once after loading and follows the
// image information it returns to the program control nodes.
#include "hostsvc/hostsvc.h"
#include "module/export.h"
#include "module/records.h"

extern "C" {
void** v_global_gcb_anchor;
void* v_global_pidb_anchor;
void himodcn();
extern ProgramControlNode pcn_TULXBAMF;
}

extern "C" {
// Two words the host's loader may use; the module never touches them.
FTPAM_VISIBLE int32_t u_deve;
FTPAM_VISIBLE int32_t u_devp;

FTPAM_VISIBLE extern ProgramControlNode* const mcn_pcns[2];
}
ProgramControlNode* const mcn_pcns[2] = {&pcn_TULXBAMF, nullptr};

static const char notice[] =
    "FTP file access method. Reads, writes and lists remote files record by record.";

extern "C" FTPAM_VISIBLE const ImageInfo vi_mcn;
const ImageInfo vi_mcn = {
    "TUL_Image_Information=", IMAGE_MAGIC, 1, "1.00", "ftpam-1.00", "Dec 08 2026",
    mcn_pcns, notice, "001",
};

FTPAM_EXPORT const ImageInfo* mcn_main(void** gcb, void* pidb) {
  v_global_gcb_anchor = gcb;
  v_global_pidb_anchor = pidb;
  himodcn();
  return &vi_mcn;
}
