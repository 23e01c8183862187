/* Preloaded into a test's child process: logs the engine's flushes, writes,
   renames and removals of files under a directory, in the order they happen,
   so that a test can check the order a crash-safe commit depends on. It can
   also kill the process right after one of them, or hold it before one until
   the test lets it go (a sign file, then a release file).

   TRACE_LOG    the log: one line per call, "op path [offset|target]"
   TRACE_UNDER  only paths under this prefix are logged
   TRACE_KILL   "op path" or "op path extra": SIGKILL right after the first such call
   TRACE_HOLD   "op path": before the first such call, create TRACE_LOG.held
                and wait for TRACE_LOG.release */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static void fd_path(int fd, char *out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    out[n < 0 ? 0 : n] = '\0';
}

/* Whether `wanted` is "op path", or "op path extra" (a write at one offset). */
static int matches(const char *wanted, const char *op, const char *path, const char *extra) {
    char line[8500];
    if (!wanted) return 0;
    snprintf(line, sizeof line, "%s %s", op, path);
    if (strcmp(wanted, line) == 0) return 1;
    snprintf(line, sizeof line, "%s %s %s", op, path, extra ? extra : "");
    return strcmp(wanted, line) == 0;
}

static void before(const char *op, const char *path) {
    static int held;
    const char *log = getenv("TRACE_LOG");
    if (held || !log || !matches(getenv("TRACE_HOLD"), op, path, NULL)) return;
    held = 1;
    char sign[4200], release[4200];
    snprintf(sign, sizeof sign, "%s.held", log);
    snprintf(release, sizeof release, "%s.release", log);
    close(open(sign, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    struct timespec pause = {0, 10 * 1000 * 1000};
    while (access(release, F_OK) != 0) nanosleep(&pause, NULL);
}

static void after(const char *op, const char *path, const char *extra) {
    const char *log = getenv("TRACE_LOG");
    const char *under = getenv("TRACE_UNDER");
    if (!log || !under || strncmp(path, under, strlen(under)) != 0) return;
    char line[8500];
    int n = snprintf(line, sizeof line, "%s %s%s%s\n", op, path, extra ? " " : "", extra ? extra : "");
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)n) < 0) {}
        close(fd);
    }
    if (matches(getenv("TRACE_KILL"), op, path, extra)) kill(getpid(), SIGKILL);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int fsync(int fd) {
    char path[4096];
    fd_path(fd, path, sizeof path);
    before("fsync", path);
    int r = REAL(fsync)(fd);
    after("fsync", path, NULL);
    return r;
}

int fdatasync(int fd) {
    char path[4096];
    fd_path(fd, path, sizeof path);
    before("fdatasync", path);
    int r = REAL(fdatasync)(fd);
    after("fdatasync", path, NULL);
    return r;
}

static ssize_t traced_pwrite(ssize_t (*real)(int, const void *, size_t, off_t), int fd, const void *buf,
                             size_t count, off_t offset) {
    char path[4096], at[32];
    fd_path(fd, path, sizeof path);
    before("pwrite", path);
    ssize_t r = real(fd, buf, count, offset);
    snprintf(at, sizeof at, "%lld", (long long)offset);
    after("pwrite", path, at);
    return r;
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset) {
    return traced_pwrite(REAL(pwrite), fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void *buf, size_t count, off_t offset) {
    return traced_pwrite(REAL(pwrite64), fd, buf, count, offset);
}

int ftruncate(int fd, off_t length) {
    char path[4096], at[32];
    fd_path(fd, path, sizeof path);
    before("truncate", path);
    int r = REAL(ftruncate)(fd, length);
    snprintf(at, sizeof at, "%lld", (long long)length);
    after("truncate", path, at);
    return r;
}

/* The full path of `name` relative to the directory open as `dir`. */
static void at_path(int dir, const char *name, char *out, size_t size) {
    if (name[0] == '/') {
        snprintf(out, size, "%s", name);
        return;
    }
    char base[4096] = "";
    if (dir == AT_FDCWD) {
        if (!getcwd(base, sizeof base)) base[0] = '\0';
    } else {
        fd_path(dir, base, sizeof base);
    }
    snprintf(out, size, "%s/%s", base, name);
}

int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned int flags) {
    char source[4096], target[4096];
    at_path(fromdir, from, source, sizeof source);
    at_path(todir, to, target, sizeof target);
    before("rename", source);
    int r = REAL(renameat2)(fromdir, from, todir, to, flags);
    if (r == 0) after("rename", source, target);
    return r;
}

int renameat(int fromdir, const char *from, int todir, const char *to) {
    char source[4096], target[4096];
    at_path(fromdir, from, source, sizeof source);
    at_path(todir, to, target, sizeof target);
    before("rename", source);
    int r = REAL(renameat)(fromdir, from, todir, to);
    if (r == 0) after("rename", source, target);
    return r;
}

int rename(const char *from, const char *to) { return renameat(AT_FDCWD, from, AT_FDCWD, to); }

/* A hard link is the fallback of a rename that must not replace. */
int linkat(int fromdir, const char *from, int todir, const char *to, int flags) {
    char source[4096], target[4096];
    at_path(fromdir, from, source, sizeof source);
    at_path(todir, to, target, sizeof target);
    before("rename", source);
    int r = REAL(linkat)(fromdir, from, todir, to, flags);
    if (r == 0) after("rename", source, target);
    return r;
}

int link(const char *from, const char *to) { return linkat(AT_FDCWD, from, AT_FDCWD, to, 0); }

int unlinkat(int dir, const char *name, int flags) {
    char path[4096];
    at_path(dir, name, path, sizeof path);
    before("unlink", path);
    int r = REAL(unlinkat)(dir, name, flags);
    if (r == 0) after("unlink", path, NULL);
    return r;
}

int unlink(const char *path) { return unlinkat(AT_FDCWD, path, 0); }
