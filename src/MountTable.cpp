// The parser of mount tables. A line is read a byte at a time from a buffer
// the kernel fills, so that no length a user can give a root or a mount point
// (4,095 bytes each, a blank written as four) makes the parser pass it over.
#include "MountTable.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace busyumount {
namespace {

int IsOctal(int c) {
  return c >= '0' && c <= '7';
}

// Returns the table's next byte, or EOF at its end, and notes it as the last.
// A failed read ends the table too.
int Next(Table* table) {
  if (table->offset == table->size) {
    table->size = read(table->fd, table->buffer, sizeof(table->buffer));
    table->offset = 0;
    if (table->size <= 0) {
      table->size = 0;
      return table->last = EOF;
    }
  }
  return table->last = static_cast<unsigned char>(table->buffer[table->offset++]);
}

// Reads a decimal number into `value`; returns 1 if there was one that fits
// an int, followed by `separator`, else 0.
int ReadNumber(Table* table, int* value, int separator) {
  long number = 0;
  int digits = 0;
  int c;
  while ((c = Next(table)) >= '0' && c <= '9' && number <= INT_MAX) {
    number = number * 10 + c - '0';
    ++digits;
  }
  *value = static_cast<int>(number);
  return digits > 0 && number <= INT_MAX && c == separator;
}

// Reads a field into `text` (`size` bytes), NUL-terminated, undoing the \ooo
// escapes; returns 1 if it fits, its escapes are whole and a blank ends it.
int ReadField(Table* table, char* text, size_t size) {
  size_t length = 0;
  int whole = 1;
  int c;
  while ((c = Next(table)) != EOF && c != ' ' && c != '\n') {
    if (c == '\\') {
      const int digits[] = {Next(table), Next(table), Next(table)};
      whole &= IsOctal(digits[0]) && IsOctal(digits[1]) && IsOctal(digits[2]);
      c = ((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + digits[2] - '0') & 0xff;
    }
    if (length + 1 < size) {
      text[length++] = static_cast<char>(c);
    } else {
      whole = 0;
    }
  }
  text[length] = '\0';
  return whole && c == ' ';
}

// Reads the optional fields up to the "-" that ends them, noting the peer
// groups; returns 1, or 0 if the line ends first.
int ReadOptionalFields(Table* table, Mount* mount) {
  char field[64];
  mount->shared = mount->master = 0;
  for (;;) {
    const int read = ReadField(table, field, sizeof(field));
    if (read && strcmp(field, "-") == 0) return 1;
    if (table->last != ' ') return 0;
    int* group = strncmp(field, "shared:", 7) == 0   ? &mount->shared
                 : strncmp(field, "master:", 7) == 0 ? &mount->master
                                                     : nullptr;
    if (read && group != nullptr) *group = static_cast<int>(strtol(field + 7, nullptr, 10));
  }
}

}  // namespace

int OpenTable(const char* path, Table* table) {
  table->fd = open(path, O_RDONLY | O_CLOEXEC);
  table->size = table->offset = 0;
  table->last = '\n';
  return table->fd >= 0;
}

void RewindTable(int fd, Table* table) {
  table->fd = fd;
  table->size = table->offset = 0;
  table->last = '\n';
  (void)lseek(fd, 0, SEEK_SET);
}

// Fields: id, parent id, major:minor, root, mount point, options, optional
// fields, "-", type, source, super options. A line that doesn't parse is
// passed over; the super options may be of any length.
int ReadMountStart(Table* table, Mount* mount) {
  while (table->last != EOF) {
    int major = 0, minor = 0;
    if (ReadNumber(table, &mount->id, ' ') && ReadNumber(table, &mount->parent, ' ') &&
        ReadNumber(table, &major, ':') && ReadNumber(table, &minor, ' ')) {
      mount->major = static_cast<unsigned>(major);
      mount->minor = static_cast<unsigned>(minor);
      return 1;
    }
    SkipLine(table);
  }
  return 0;
}

int ReadMountRest(Table* table, Mount* mount) {
  char options[8];
  const int parsed = ReadField(table, mount->root, sizeof(mount->root)) &&
                     ReadField(table, mount->mount_point, sizeof(mount->mount_point)) &&
                     (ReadField(table, options, sizeof(options)) || table->last == ' ') &&
                     ReadOptionalFields(table, mount);
  // A type too long is none of those looked for.
  if (parsed && !ReadField(table, mount->type, sizeof(mount->type))) mount->type[0] = '\0';
  SkipLine(table);
  return parsed;
}

void SkipLine(Table* table) {
  while (table->last != '\n' && table->last != EOF) {
    const char* end = static_cast<const char*>(
        memchr(table->buffer + table->offset, '\n', table->size - table->offset));
    if (end == nullptr) {
      table->offset = table->size;
      Next(table);
    } else {
      table->offset = end - table->buffer + 1;
      table->last = '\n';
    }
  }
}

int ReadMount(Table* table, Mount* mount) {
  while (ReadMountStart(table, mount)) {
    if (ReadMountRest(table, mount)) return 1;
  }
  return 0;
}

int UnescapeField(const char* text, char* path) {
  size_t length = 0;
  for (; *text != '\0' && *text != ' ' && *text != '\t' && *text != '\n'; ++text) {
    if (length + 1 >= kPathSize) return 0;
    if (text[0] == '\\' && IsOctal(text[1]) && IsOctal(text[2]) && IsOctal(text[3])) {
      path[length++] =
          static_cast<char>((text[1] - '0') * 64 + (text[2] - '0') * 8 + text[3] - '0');
      text += 3;
    } else {
      path[length++] = *text;
    }
  }
  path[length] = '\0';
  return *text != '\0';
}

}  // namespace busyumount
