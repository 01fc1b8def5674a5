// Files: the parameter file and the seed files of the random generator.
#pragma once
#include <cstdint>

using fileh = intptr_t;
constexpr fileh FILE_INVALID = -1;

// file_openread(path): open an existing file read-only, others may read too.
fileh file_openread(const char* path);
// (State files are opened with state_openrw, statedir.h.)
// file_private(h): true when the open file belongs to the user the relay runs
// as, no one else may write to it, and it has no other name (a hard link), so
// that no other user can have chosen or can later change what it holds.
bool file_private(fileh h);
// file_size(h, size): size of the open file; 0 or -1 (also for a directory,
// a device or a pipe, which have no size to read up to).
int file_size(fileh h, uint64_t* size);
// file_seek(h, offset): move to offset from the start; 0 or -1.
int file_seek(fileh h, uint64_t offset);
// file_read(h, buf, len): bytes read (0 at end) or -1. Interrupted reads are retried.
int64_t file_read(fileh h, void* buf, uint32_t len);
// file_write(h, buf, len): bytes written or -1.
int64_t file_write(fileh h, const void* buf, uint32_t len);
// file_close(h): 0 or -1.
int file_close(fileh h);

// The reason for the last failed file_openread or file_size: the system's
// error code, or FILEERR_NOTREGULAR when the name is no file on a disk.
constexpr int FILEERR_NOTREGULAR = -2;
int file_lasterror();
// file_errtext(code, buf, len): the system's words for a file_lasterror
// code, in one line without a line end ("Permission denied"); "not a
// regular file" for FILEERR_NOTREGULAR.
void file_errtext(int code, char* buf, uint32_t len);
