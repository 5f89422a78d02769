// The parser of mount tables, /proc/<pid>/mountinfo: read straight from the
// kernel in pieces, so that a line of any length is read whole, and through a
// descriptor that a caller may keep open and poll() for changes.
#pragma once

#include <sys/types.h>

#include "ProcFiles.h"

namespace busyumount {

// A mount table open for reading, with its buffer.
struct Table {
  int fd;
  long size;    // bytes read into the buffer
  long offset;  // of the next byte
  int last;     // the byte read last, or EOF at the end
  char buffer[kReadSize];
};

// One line of a mount table, its paths unescaped.
struct Mount {
  int id;
  int parent;                   // the id of the mount it is mounted on
  unsigned major, minor;        // the file system's device
  int shared;                   // its peer group (shared:N), or 0
  int master;                   // the peer group it receives from (master:N), or 0
  char root[kPathSize];         // the directory of its file system that it shows
  char mount_point[kPathSize];  // where its namespace shows it
  char type[64];                // the file system's type, "" when too long
};

// Opens the mount table at `path` into `table`; returns 1, or 0 on failure.
int OpenTable(const char* path, Table* table);
// Starts `table` from the first line of the table open at `fd`: again, when
// `fd` has been read before.
void RewindTable(int fd, Table* table);

// Reads the next line of `table` into `mount`, passing over any that doesn't
// parse; returns 1, or 0 at the end.
int ReadMount(Table* table, Mount* mount);

// ReadMount() in two steps, for a reader that wants the rest of few lines:
// ReadMountStart() reads the next line's ids and device (returns 1, or 0 at
// the end), then ReadMountRest() the rest (returns 1, or 0 if it doesn't
// parse) or SkipLine() passes it over.
int ReadMountStart(Table* table, Mount* mount);
int ReadMountRest(Table* table, Mount* mount);
void SkipLine(Table* table);

// Copies the field that begins at `text` into `path` (kPathSize bytes),
// NUL-terminated, undoing the \ooo by which the kernel writes a blank, tab,
// newline or backslash in a path. Returns 1, or 0 if the field doesn't end in
// a blank or a newline (a piece of a longer line) or doesn't fit.
int UnescapeField(const char* text, char* path);

}  // namespace busyumount
