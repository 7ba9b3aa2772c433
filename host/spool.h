// Work (spool) files: private temporary files the module keeps what it has
// read in, so that it can go back to a noted record. A position token is a
// byte offset from the start of the file; token -1 means the end. A work file
// is removed when it is closed and, at the latest, when the host exits.
#pragma once
#include <cstdint>

namespace host::spool {

// Work files open now.
int open_files();
// Closes (and removes) a work file; the host does this when the open that made
// it is closed.
void close(void* handle);
// Closes every work file made since `mark` was taken (see mark()).
int mark();
void close_since(int mark);
// Makes the nth work-file operation from now fail (1 = the next one; 0 = off),
// for tests of a failing work file.
void fail_operation(long nth);

}  // namespace host::spool
