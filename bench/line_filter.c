/* The second floor: the least a cleaner of lines must do, without a log. Each file named on the
 * command line is read in 64 KiB blocks; line ends are found with memchr; a line (without its
 * LF and one CR before it) is kept when it is at least 7 bytes long and holds an "@", and is
 * written with CR LF to a temporary file beside it, which then replaces it by a rename (keeping
 * its permission bits). Nothing is printed, nothing is logged. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { Block = 65536 };
static char in[2 * Block], out[Block + 2 * Block];

static void keep(FILE *to, size_t *held, const char *line, size_t length) {
  if (length > 0 && line[length - 1] == '\r') --length;
  if (length < 7 || memchr(line, '@', length) == NULL) return;
  if (*held + length + 2 > sizeof out) { fwrite(out, 1, *held, to); *held = 0; }
  memcpy(out + *held, line, length);
  memcpy(out + *held + length, "\r\n", 2);
  *held += length + 2;
}

int main(int argc, char **argv) {
  for (int file = 1; file < argc; ++file) {
    char temporary[4096];
    snprintf(temporary, sizeof temporary, "%s.filter-tmp", argv[file]);
    FILE *from = fopen(argv[file], "rb"), *to = fopen(temporary, "wb");
    if (from == NULL || to == NULL) { perror(argv[file]); return 1; }
    size_t have = 0, held = 0, got;
    while ((got = fread(in + have, 1, Block, from)) > 0) {
      have += got;
      const char *next = in, *end = in + have, *lineFeed;
      while ((lineFeed = memchr(next, '\n', (size_t)(end - next))) != NULL) {
        keep(to, &held, next, (size_t)(lineFeed - next));
        next = lineFeed + 1;
      }
      have = (size_t)(end - next);
      memmove(in, next, have); /* lines are short here; a longer one would need a bigger buffer */
      if (have > Block) { fprintf(stderr, "%s: line too long\n", argv[file]); return 1; }
    }
    if (have > 0) keep(to, &held, in, have);
    fwrite(out, 1, held, to);
    struct stat status;
    fclose(from);
    if (fclose(to) != 0 || stat(argv[file], &status) != 0) { perror(temporary); return 1; }
    chmod(temporary, status.st_mode & 07777);
    if (rename(temporary, argv[file]) != 0) { perror(argv[file]); return 1; }
  }
  return 0;
}
