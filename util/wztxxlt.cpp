// wztxxlt: translates n bytes through host translation table `table` (0-4)
// into the target, first byte first, so source and target may be the same.
#include "hostsvc/gcb.h"
#include "hostsvc/hostsvc.h"
#include "module/status.h"
#include "util/util.h"

extern "C" int32_t wztxxlt(int32_t table, const void* source, void* target, int32_t n) {
  if (table < 0 || table > 4) return st::BAD_TABLE;
  const unsigned char* map = gcb::xlate_table(v_global_gcb_anchor, table);
  if (!map) return st::BAD_TABLE;
  const auto* in = static_cast<const unsigned char*>(source);
  auto* out = static_cast<unsigned char*>(target);
  for (int32_t i = 0; i < n; ++i) out[i] = map[in[i]];
  return st::OK;
}
