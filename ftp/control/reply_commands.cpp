// The operations whose only output is the server's reply: HELP, STAT and a
// raw command. Each sends its command and reads nothing; the reply-line
// reader returns the reply's lines as records.
#include "ftp/protocol.h"
#include "module/status.h"

extern "C" int32_t dohelp(FtpFile* file) { return command_send(file, "HELP"); }

extern "C" int32_t dostat(FtpFile* file) { return command_send(file, "STAT"); }

extern "C" int32_t dorcmd(FtpFile* file) {
  if (!file->rcmd) return st::FAILED;
  return command_send(file, "%s", file->rcmd);
}
