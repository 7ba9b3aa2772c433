// Marks the names the host and other host components reach by name. Every
// other symbol of the module stays hidden. Exported data is defined inside an
// extern "C" block with FTPAM_VISIBLE.
#pragma once
#define FTPAM_VISIBLE __attribute__((visibility("default")))
#define FTPAM_EXPORT extern "C" FTPAM_VISIBLE
