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
// Work files are numbered as they are made; mark() is the number of the last
// one. close_made(after, upto) closes those numbered after `after` up to and
// including `upto` -- the host uses it to close the work files an open made.
int mark();
void close_made(int after, int upto);
// Makes the nth work-file operation from now fail (1 = the next one; 0 = off),
// for tests of a failing work file.
void fail_operation(long nth);
// Work-file operations attempted since the last fail_operation() call.
long operations_since_armed();

}  // namespace host::spool
