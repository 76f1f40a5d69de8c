/* A stand-in for a network file share: a FUSE file system that mirrors a backing directory and
 * answers every request only after a fixed delay (0.2 ms unless --delay-ms says otherwise), as
 * a file server's round trip would. fuse's multi-threaded loop serves each request in its own
 * thread, so requests made at the same time wait out their delays together, as on a share.
 *
 *   latency_fs [--delay-ms=MS] [--no-locks] BACKING MOUNTPOINT [fuse options, e.g. -f]
 *
 * Every request that reaches this program waits: lookups and attributes (the kernel keeps those
 * for entry_timeout and attr_timeout, 1 s unless given, as SMB and NFS clients do), opens and
 * creates, reads and writes, flushes on close, directory reads, renames (with RENAME_EXCHANGE and
 * RENAME_NOREPLACE), removals, syncs, extended attributes (ACLs among them), flock locks.
 * POSIX and open-file-description locks (fcntl F_SETLK, F_OFD_SETLK) are kept by the kernel for
 * the mount, without a request: a lock manager here would have to tell their owners apart, which
 * the kernel already does. They then hold among processes using the mount, not against
 * processes using the backing directory. --no-locks makes every such lock fail with ENOLCK, as
 * on a share that offers none.
 *
 * Built by bench/run: cc -O2 latency_fs.c $(pkg-config --cflags --libs fuse3). */
#define FUSE_USE_VERSION 312
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

static int backing = -1;              /* the backing directory, all paths relative to it */
static char backing_path[PATH_MAX];   /* the same as a path, for the calls that take only paths */
static long delay_ns = 200 * 1000;

/* Each request's round trip. Timer slack would add ~50 us to each sleep; it is made 1 ns once per
 * thread of fuse's loop. */
static void wait_round_trip(void) {
  static __thread int slack_set;
  if (!slack_set) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    slack_set = 1;
  }
  if (delay_ns <= 0) return;
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += delay_ns;
  until.tv_sec += until.tv_nsec / 1000000000L;
  until.tv_nsec %= 1000000000L;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
  }
}

/* "/a/b" as a name relative to the backing directory; "/" is ".". */
static const char *rel(const char *path) { return path[1] == '\0' ? "." : path + 1; }

/* The backing path of `path`, for the xattr calls, which have no *at form. */
static int full(char *out, const char *path) {
  int n = snprintf(out, PATH_MAX, "%s%s", backing_path, path);
  return n < 0 || n >= PATH_MAX ? -ENAMETOOLONG : 0;
}

#define RESULT(call) ((call) == -1 ? -errno : 0)

static void *lf_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  /* The backing file's inode numbers: a run compares what it opened with what a name holds. A
   * file removed while open is renamed to .fuse_hidden* until its last close, as an NFS client
   * does (.nfs*): with -o hard_remove it goes at once, but fstat of the open file then fails
   * with ESTALE, since the kernel asks for its attributes by node, not by open file. */
  cfg->use_ino = 1;
  if (conn->capable & FUSE_CAP_POSIX_ACL) conn->want |= FUSE_CAP_POSIX_ACL;
  return NULL;
}

static int lf_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  wait_round_trip();
  if (fi != NULL) return RESULT(fstat((int)fi->fh, st));
  return RESULT(fstatat(backing, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

static int lf_access(const char *path, int mask) {
  wait_round_trip();
  return RESULT(faccessat(backing, rel(path), mask, AT_EACCESS));
}

static int lf_readlink(const char *path, char *buf, size_t size) {
  wait_round_trip();
  ssize_t n = readlinkat(backing, rel(path), buf, size - 1);
  if (n == -1) return -errno;
  buf[n] = '\0';
  return 0;
}

static int lf_mknod(const char *path, mode_t mode, dev_t dev) {
  wait_round_trip();
  return RESULT(mknodat(backing, rel(path), mode, dev));
}

static int lf_mkdir(const char *path, mode_t mode) {
  wait_round_trip();
  return RESULT(mkdirat(backing, rel(path), mode));
}

static int lf_unlink(const char *path) {
  wait_round_trip();
  return RESULT(unlinkat(backing, rel(path), 0));
}

static int lf_rmdir(const char *path) {
  wait_round_trip();
  return RESULT(unlinkat(backing, rel(path), AT_REMOVEDIR));
}

static int lf_symlink(const char *target, const char *path) {
  wait_round_trip();
  return RESULT(symlinkat(target, backing, rel(path)));
}

static int lf_rename(const char *from, const char *to, unsigned int flags) {
  wait_round_trip();
  return RESULT(renameat2(backing, rel(from), backing, rel(to), flags));
}

static int lf_link(const char *from, const char *to) {
  wait_round_trip();
  return RESULT(linkat(backing, rel(from), backing, rel(to), 0));
}

static int lf_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
  wait_round_trip();
  if (fi != NULL) return RESULT(fchmod((int)fi->fh, mode));
  return RESULT(fchmodat(backing, rel(path), mode, 0));
}

static int lf_chown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
  wait_round_trip();
  if (fi != NULL) return RESULT(fchown((int)fi->fh, uid, gid));
  return RESULT(fchownat(backing, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

static int lf_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
  wait_round_trip();
  if (fi != NULL) return RESULT(ftruncate((int)fi->fh, size));
  int fd = openat(backing, rel(path), O_WRONLY | O_CLOEXEC);
  if (fd == -1) return -errno;
  int result = RESULT(ftruncate(fd, size));
  close(fd);
  return result;
}

static int lf_utimens(const char *path, const struct timespec times[2],
                      struct fuse_file_info *fi) {
  wait_round_trip();
  if (fi != NULL) return RESULT(futimens((int)fi->fh, times));
  return RESULT(utimensat(backing, rel(path), times, AT_SYMLINK_NOFOLLOW));
}

static int lf_open(const char *path, struct fuse_file_info *fi) {
  wait_round_trip();
  int fd = openat(backing, rel(path), (fi->flags & ~O_NOFOLLOW) | O_CLOEXEC);
  if (fd == -1) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int lf_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
  wait_round_trip();
  /* fi->flags still holds O_EXCL when the caller asked for it. */
  int fd = openat(backing, rel(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
  if (fd == -1) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int lf_read(const char *path, char *buf, size_t size, off_t offset,
                   struct fuse_file_info *fi) {
  (void)path;
  wait_round_trip();
  ssize_t n = pread((int)fi->fh, buf, size, offset);
  return n == -1 ? -errno : (int)n;
}

static int lf_write(const char *path, const char *buf, size_t size, off_t offset,
                    struct fuse_file_info *fi) {
  (void)path;
  wait_round_trip();
  ssize_t n = pwrite((int)fi->fh, buf, size, offset);
  return n == -1 ? -errno : (int)n;
}

static int lf_statfs(const char *path, struct statvfs *st) {
  (void)path;
  wait_round_trip();
  return RESULT(fstatvfs(backing, st));
}

/* close(2) of a descriptor on the mount: what closing the backing descriptor would report. */
static int lf_flush(const char *path, struct fuse_file_info *fi) {
  (void)path;
  wait_round_trip();
  int copy = dup((int)fi->fh);
  if (copy == -1) return -errno;
  return RESULT(close(copy));
}

static int lf_release(const char *path, struct fuse_file_info *fi) {
  (void)path;
  close((int)fi->fh);
  return 0;
}

static int lf_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  wait_round_trip();
  return RESULT(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int lf_fallocate(const char *path, int mode, off_t offset, off_t length,
                        struct fuse_file_info *fi) {
  (void)path;
  wait_round_trip();
  return RESULT(fallocate((int)fi->fh, mode, offset, length));
}

static int lf_flock(const char *path, struct fuse_file_info *fi, int op) {
  (void)path;
  wait_round_trip();
  return RESULT(flock((int)fi->fh, op));
}

/* Only with --no-locks: a share without POSIX locks. */
static int lf_no_lock(const char *path, struct fuse_file_info *fi, int cmd, struct flock *lock) {
  (void)path, (void)fi, (void)cmd, (void)lock;
  wait_round_trip();
  return -ENOLCK;
}

static int lf_setxattr(const char *path, const char *name, const char *value, size_t size,
                       int flags) {
  char at[PATH_MAX];
  wait_round_trip();
  int bad = full(at, path);
  return bad ? bad : RESULT(lsetxattr(at, name, value, size, flags));
}

static int lf_getxattr(const char *path, const char *name, char *value, size_t size) {
  char at[PATH_MAX];
  wait_round_trip();
  int bad = full(at, path);
  if (bad) return bad;
  ssize_t n = lgetxattr(at, name, value, size);
  return n == -1 ? -errno : (int)n;
}

static int lf_listxattr(const char *path, char *list, size_t size) {
  char at[PATH_MAX];
  wait_round_trip();
  int bad = full(at, path);
  if (bad) return bad;
  ssize_t n = llistxattr(at, list, size);
  return n == -1 ? -errno : (int)n;
}

static int lf_removexattr(const char *path, const char *name) {
  char at[PATH_MAX];
  wait_round_trip();
  int bad = full(at, path);
  return bad ? bad : RESULT(lremovexattr(at, name));
}

/* An open directory: its stream, the entry read but not yet passed on, and where it is. */
struct open_dir {
  DIR *stream;
  struct dirent *pending;
  off_t offset;
};

static int lf_opendir(const char *path, struct fuse_file_info *fi) {
  wait_round_trip();
  struct open_dir *d = calloc(1, sizeof *d);
  if (d == NULL) return -ENOMEM;
  int fd = openat(backing, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1 || (d->stream = fdopendir(fd)) == NULL) {
    int code = errno;
    if (fd != -1) close(fd);
    free(d);
    return -code;
  }
  fi->fh = (uint64_t)(uintptr_t)d;
  return 0;
}

static int lf_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
  (void)path, (void)flags;
  wait_round_trip();
  struct open_dir *d = (struct open_dir *)(uintptr_t)fi->fh;
  if (offset != d->offset) {
    seekdir(d->stream, offset);
    d->pending = NULL;
    d->offset = offset;
  }
  for (;;) {
    if (d->pending == NULL) {
      errno = 0;
      d->pending = readdir(d->stream);
      if (d->pending == NULL) return -errno;
    }
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = d->pending->d_ino;
    st.st_mode = (mode_t)(DTTOIF(d->pending->d_type));
    off_t next = telldir(d->stream);
    if (fill(buf, d->pending->d_name, &st, next, 0)) return 0;  /* the reply is full */
    d->pending = NULL;
    d->offset = next;
  }
}

static int lf_releasedir(const char *path, struct fuse_file_info *fi) {
  (void)path;
  struct open_dir *d = (struct open_dir *)(uintptr_t)fi->fh;
  closedir(d->stream);
  free(d);
  return 0;
}

static int lf_fsyncdir(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  wait_round_trip();
  int fd = dirfd(((struct open_dir *)(uintptr_t)fi->fh)->stream);
  return RESULT(datasync ? fdatasync(fd) : fsync(fd));
}

static struct fuse_operations operations = {
    .init = lf_init,
    .getattr = lf_getattr,
    .access = lf_access,
    .readlink = lf_readlink,
    .mknod = lf_mknod,
    .mkdir = lf_mkdir,
    .unlink = lf_unlink,
    .rmdir = lf_rmdir,
    .symlink = lf_symlink,
    .rename = lf_rename,
    .link = lf_link,
    .chmod = lf_chmod,
    .chown = lf_chown,
    .truncate = lf_truncate,
    .utimens = lf_utimens,
    .open = lf_open,
    .create = lf_create,
    .read = lf_read,
    .write = lf_write,
    .statfs = lf_statfs,
    .flush = lf_flush,
    .release = lf_release,
    .fsync = lf_fsync,
    .fallocate = lf_fallocate,
    .flock = lf_flock,
    .setxattr = lf_setxattr,
    .getxattr = lf_getxattr,
    .listxattr = lf_listxattr,
    .removexattr = lf_removexattr,
    .opendir = lf_opendir,
    .readdir = lf_readdir,
    .releasedir = lf_releasedir,
    .fsyncdir = lf_fsyncdir,
};

struct settings {
  char *delay_ms;
  int no_locks;
  int help;
  const char *backing;
};

enum { KeyHelp = 1 };

static const struct fuse_opt settings_spec[] = {
    {"--delay-ms=%s", offsetof(struct settings, delay_ms), 0},
    {"--no-locks", offsetof(struct settings, no_locks), 1},
    FUSE_OPT_KEY("-h", KeyHelp),
    FUSE_OPT_KEY("--help", KeyHelp),
    FUSE_OPT_END,
};

static int take_argument(void *data, const char *arg, int key, struct fuse_args *outargs) {
  struct settings *s = data;
  (void)outargs;
  if (key == KeyHelp) {
    s->help = 1;
    return 1;  /* fuse prints its own options too */
  }
  if (key == FUSE_OPT_KEY_NONOPT && s->backing == NULL) {
    s->backing = arg;
    return 0;  /* the first name is ours, the mount point fuse's */
  }
  return 1;
}

static const char usage[] =
    "usage: latency_fs [--delay-ms=MS] [--no-locks] BACKING MOUNTPOINT [options]\n"
    "  --delay-ms=MS  wait MS milliseconds before answering each request (0.2)\n"
    "  --no-locks     POSIX and OFD locks fail with ENOLCK\n";

int main(int argc, char **argv) {
  struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
  struct settings s = {0};
  struct fuse_cmdline_opts opts;
  if (fuse_opt_parse(&args, &s, settings_spec, take_argument) == -1 ||
      fuse_parse_cmdline(&args, &opts) != 0)
    return 2;
  if (s.help || opts.show_help) {
    printf("%s\n", usage);
    fuse_cmdline_help();
    fuse_lib_help(&args);
    return 0;
  }
  if (s.delay_ms != NULL) {
    char *end;
    double ms = strtod(s.delay_ms, &end);
    if (end == s.delay_ms || *end != '\0' || !(ms >= 0 && ms <= 10000)) {
      fprintf(stderr, "latency_fs: bad --delay-ms: %s\n", s.delay_ms);
      return 2;
    }
    delay_ns = (long)(ms * 1e6 + 0.5);
  }
  if (s.backing == NULL || opts.mountpoint == NULL) {
    fputs(usage, stderr);
    return 2;
  }
  if (realpath(s.backing, backing_path) == NULL ||
      (backing = open(backing_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) == -1) {
    fprintf(stderr, "latency_fs: %s: %s\n", s.backing, strerror(errno));
    return 2;
  }
  if (strcmp(backing_path, "/") == 0) backing_path[0] = '\0';
  if (s.no_locks) operations.lock = lf_no_lock;
  umask(0); /* the modes asked for arrive already masked by the caller's umask */

  /* What fuse_main does, with the loop's thread limits passed on as given (-o max_threads=N,
   * 10 by default; -o max_idle_threads=N). */
  struct fuse *fs = fuse_new(&args, &operations, sizeof operations, NULL);
  if (fs == NULL) return 2;
  int result = 1;
  if (fuse_mount(fs, opts.mountpoint) != 0) goto out_destroy;
  if (fuse_daemonize(opts.foreground) != 0) goto out_unmount;
  struct fuse_session *session = fuse_get_session(fs);
  if (fuse_set_signal_handlers(session) != 0) goto out_unmount;
  if (opts.singlethread) {
    result = fuse_loop(fs);
  } else {
    struct fuse_loop_config *loop = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(loop, (unsigned)opts.clone_fd);
    if (opts.max_idle_threads != UINT_MAX) fuse_loop_cfg_set_idle_threads(loop, opts.max_idle_threads);
    fuse_loop_cfg_set_max_threads(loop, opts.max_threads);
    result = fuse_loop_mt(fs, loop);
    fuse_loop_cfg_destroy(loop);
  }
  result = result == 0 ? 0 : 1;
  fuse_remove_signal_handlers(session);
out_unmount:
  fuse_unmount(fs);
out_destroy:
  fuse_destroy(fs);
  free(opts.mountpoint);
  fuse_opt_free_args(&args);
  return result;
}
