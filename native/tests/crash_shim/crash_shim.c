/* A syscall-level fault injector for the crash-point sweep (LD_PRELOAD).
 *
 * Counts the calls that change a file or its lock -- write, pwrite, fsync,
 * fdatasync, rename, unlink, link, truncate, copy_file_range, flock, each
 * named by its family (unlinkat counts as "unlink", renameat2 as "rename")
 * -- made on paths under one watched directory, and at one chosen call stops the process
 * before or after it, tears it (a write lands up to the sector boundary
 * nearest its middle, or only from there, then the process stops), or fails
 * it with an errno. A stopped process writes one line to the
 * notification descriptor ("stopped N NAME\n") and waits to be killed, so
 * that the test can look at the files at that very moment.
 *
 * Driven from inside the process (ctypes), so nothing is read from the
 * environment:
 *   crash_shim_watch(dir, log_fd)       count calls under dir; log_fd >= 0
 *                                       gets one line per counted call
 *                                       ("N NAME PATH", full paths; writes
 *                                       add SIZE OFFSET, rename and link
 *                                       add the new name)
 *   crash_shim_arm(point, action, err, notify_fd)
 *   crash_shim_arm_at(name, path, offset, action, err, notify_fd)
 *                                       the point is the first call of that
 *                                       family on that path (a write: at that
 *                                       offset, or any when it is negative)
 *   crash_shim_resume_from(fd)          a stopped process goes on when a
 *                                       byte arrives on fd
 *   crash_shim_count()                  calls counted so far
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#define SECTOR 512

enum action { NONE = 0, STOP_BEFORE = 1, STOP_AFTER = 2, FAIL = 3, TEAR = 4, TEAR_END = 5 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char watched[PATH_MAX];
static size_t watched_length;
static int log_fd = -1;
static long counted;
static long armed_point;
static int armed_action;
static int armed_errno;
static char armed_name[32];
static char armed_path[PATH_MAX];
static long long armed_offset = -1;
static int notify_fd = -1;
static int resume_fd = -1;

void crash_shim_watch(const char* dir, int fd) {
    pthread_mutex_lock(&lock);
    snprintf(watched, sizeof watched, "%s", dir);
    watched_length = strlen(watched);
    log_fd = fd;
    counted = 0;
    pthread_mutex_unlock(&lock);
}

void crash_shim_arm(long point, int action, int error, int fd) {
    pthread_mutex_lock(&lock);
    armed_point = point;
    armed_action = action;
    armed_errno = error;
    armed_name[0] = '\0';
    notify_fd = fd;
    pthread_mutex_unlock(&lock);
}

/* Armed by what the call is rather than by its number, for a test that
 * stops one known call of a run it does not count first. */
void crash_shim_arm_at(const char* name, const char* path, long long offset, int action, int error,
                       int fd) {
    pthread_mutex_lock(&lock);
    armed_point = 0;
    snprintf(armed_name, sizeof armed_name, "%s", name);
    snprintf(armed_path, sizeof armed_path, "%s", path);
    armed_offset = offset;
    armed_action = action;
    armed_errno = error;
    notify_fd = fd;
    pthread_mutex_unlock(&lock);
}

/* A stopped process then goes on when a byte arrives on `fd`, so that the
 * test can change the file's surroundings under a live writer. */
void crash_shim_resume_from(int fd) { resume_fd = fd; }

long crash_shim_count(void) { return counted; }

static void say(int fd, const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t n = syscall(SYS_write, fd, text, left);
        if (n <= 0) return;
        text += n;
        left -= (size_t)n;
    }
}

static int under_watched(const char* path) {
    return watched_length > 0 && strncmp(path, watched, watched_length) == 0 &&
           (path[watched_length] == '/' || path[watched_length] == '\0');
}

/* The full path of `path` relative to the directory open as `dirfd`; empty
 * when it cannot be told. */
static void full_path(int dirfd, const char* path, char* full, size_t size) {
    full[0] = '\0';
    if (path == NULL) return;
    if (path[0] == '/') {
        snprintf(full, size, "%s", path);
        return;
    }
    char dir[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (getcwd(dir, sizeof dir) == NULL) return;
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        ssize_t n = readlink(link, dir, sizeof dir - 1);
        if (n <= 0) return;
        dir[n] = '\0';
    }
    snprintf(full, size, "%s/%s", dir, path);
}

static int path_watched(const char* full) { return watched_length > 0 && under_watched(full); }

static int fd_watched(int fd) {
    if (watched_length == 0) return 0;
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    return under_watched(target);
}

static void stop_here(long point, const char* name) {
    char line[128];
    snprintf(line, sizeof line, "stopped %ld %s\n", point, name);
    if (notify_fd >= 0) say(notify_fd, line);
    if (resume_fd >= 0) {
        char go;
        if (syscall(SYS_read, resume_fd, &go, 1) == 1) return;
    }
    for (;;) pause();  /* until the test kills us */
}

/* What to do at a counted call on `path` (`tail` follows it in the log line;
 * `offset` is a write's, else -1): its number, and the armed action (NONE
 * when this is not the armed point). */
static int enter_at(const char* name, const char* path, const char* tail, long long offset, long* point) {
    pthread_mutex_lock(&lock);
    *point = ++counted;
    if (log_fd >= 0) {
        char line[2 * PATH_MAX + 64];
        snprintf(line, sizeof line, "%ld %s %s%s\n", *point, name, path, tail);
        say(log_fd, line);
    }
    if (armed_name[0] != '\0' && strcmp(name, armed_name) == 0 && strcmp(path, armed_path) == 0 &&
        (armed_offset < 0 || offset == armed_offset)) {
        armed_point = *point;
        armed_name[0] = '\0';  /* the first such call only */
    }
    int action = *point == armed_point ? armed_action : NONE;
    pthread_mutex_unlock(&lock);
    if (action == STOP_BEFORE) stop_here(*point, name);
    return action;
}

static int enter(const char* name, const char* path, long* point) { return enter_at(name, path, "", -1, point); }

static const char* fd_name(int fd) {
    static __thread char target[PATH_MAX];
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    return target;
}

#define REAL(ret, name, ...) \
    static ret (*real_##name)(__VA_ARGS__); \
    if (!real_##name) real_##name = (ret (*)(__VA_ARGS__))dlsym(RTLD_NEXT, #name)

/* After the real call: stops when armed to stop after it. */
#define AFTER(action, point, name) \
    do { if ((action) == STOP_AFTER) { int saved = errno; stop_here(point, name); errno = saved; } } while (0)

#define FAILED(action) ((action) == FAIL ? (errno = armed_errno, 1) : 0)

/* Where a write of `count` bytes at `offset` tears: the sector boundary
 * nearest its middle, strictly inside it; 0 for a write within one sector,
 * which a disk lands whole or not at all. */
static size_t tear_at(off_t offset, size_t count) {
    const off_t middle = offset + (off_t)(count / 2);
    off_t boundary = middle - middle % SECTOR;
    if (boundary <= offset) boundary = (offset / SECTOR + 1) * SECTOR;
    return boundary < offset + (off_t)count ? (size_t)(boundary - offset) : 0;
}

static ssize_t written(int fd, const void* buf, size_t count, off_t offset, int positional,
                       const char* name) {
    if (!positional) offset = lseek(fd, 0, SEEK_CUR);
    char tail[64];
    snprintf(tail, sizeof tail, " %zu %lld", count, (long long)offset);
    long point;
    int action = enter_at(name, fd_name(fd), tail, (long long)offset, &point);
    if (FAILED(action)) return -1;
    if (action == TEAR || action == TEAR_END) {
        /* One part lands, then the process stops: a torn write. */
        const size_t tear = tear_at(offset, count);
        if (action == TEAR) {
            syscall(SYS_pwrite64, fd, buf, tear, offset);
        } else if (tear > 0) {
            syscall(SYS_pwrite64, fd, (const char*)buf + tear, count - tear, offset + (off_t)tear);
        }
        stop_here(point, name);
    }
    ssize_t n = positional ? syscall(SYS_pwrite64, fd, buf, count, offset) : syscall(SYS_write, fd, buf, count);
    AFTER(action, point, name);
    return n;
}

ssize_t write(int fd, const void* buf, size_t count) {
    if (!fd_watched(fd)) return syscall(SYS_write, fd, buf, count);
    return written(fd, buf, count, 0, 0, "write");
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    if (!fd_watched(fd)) return syscall(SYS_pwrite64, fd, buf, count, offset);
    return written(fd, buf, count, offset, 1, "pwrite");
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    return pwrite(fd, buf, count, offset);
}

#define FD_CALL(name, call) \
    do { \
        if (!fd_watched(fd)) return call; \
        long point; \
        int action = enter(#name, fd_name(fd), &point); \
        if (FAILED(action)) return -1; \
        int result = call; \
        AFTER(action, point, #name); \
        return result; \
    } while (0)

int fsync(int fd) { FD_CALL(fsync, (int)syscall(SYS_fsync, fd)); }
int fdatasync(int fd) { FD_CALL(fdatasync, (int)syscall(SYS_fdatasync, fd)); }
int ftruncate(int fd, off_t length) { FD_CALL(ftruncate, (int)syscall(SYS_ftruncate, fd, length)); }
int ftruncate64(int fd, off_t length) { return ftruncate(fd, length); }
int flock(int fd, int operation) { FD_CALL(flock, (int)syscall(SYS_flock, fd, operation)); }

ssize_t copy_file_range(int fd_in, off_t* off_in, int fd, off_t* off_out, size_t len,
                        unsigned int flags) {
    if (!fd_watched(fd)) return syscall(SYS_copy_file_range, fd_in, off_in, fd, off_out, len, flags);
    long point;
    int action = enter("copy_file_range", fd_name(fd), &point);
    if (FAILED(action)) return -1;
    if ((action == TEAR || action == TEAR_END) && len > 1) {
        syscall(SYS_copy_file_range, fd_in, off_in, fd, off_out, len / 2, flags);
        stop_here(point, "copy_file_range");
    }
    ssize_t n = syscall(SYS_copy_file_range, fd_in, off_in, fd, off_out, len, flags);
    AFTER(action, point, "copy_file_range");
    return n;
}

/* A call on a path: `from` is what is logged and matched, `to` (a rename's or
 * a link's new name, or NULL) follows it in the log line. */
#define PATH_CALL(name, fromfd, from, tofd, to, call) \
    do { \
        if (watched_length == 0) return call; \
        char source[PATH_MAX], target[PATH_MAX], tail[PATH_MAX + 1] = ""; \
        full_path(fromfd, from, source, sizeof source); \
        full_path(tofd, to, target, sizeof target); \
        if (!path_watched(source) && !path_watched(target)) return call; \
        if (target[0] != '\0') snprintf(tail, sizeof tail, " %s", target); \
        long point; \
        int action = enter_at(#name, source, tail, -1, &point); \
        if (FAILED(action)) return -1; \
        int result = call; \
        AFTER(action, point, #name); \
        return result; \
    } while (0)

int truncate(const char* path, off_t length) {
    PATH_CALL(truncate, AT_FDCWD, path, AT_FDCWD, NULL, (int)syscall(SYS_truncate, path, length));
}
int truncate64(const char* path, off_t length) { return truncate(path, length); }

int unlink(const char* path) {
    PATH_CALL(unlink, AT_FDCWD, path, AT_FDCWD, NULL, (int)syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}

int unlinkat(int dirfd, const char* path, int flags) {
    PATH_CALL(unlink, dirfd, path, AT_FDCWD, NULL, (int)syscall(SYS_unlinkat, dirfd, path, flags));
}

int rename(const char* from, const char* to) {
    PATH_CALL(rename, AT_FDCWD, from, AT_FDCWD, to, (int)syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
    PATH_CALL(rename, fromfd, from, tofd, to, (int)syscall(SYS_renameat2, fromfd, from, tofd, to, 0));
}

int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned int flags) {
    PATH_CALL(rename, fromfd, from, tofd, to, (int)syscall(SYS_renameat2, fromfd, from, tofd, to, flags));
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
    PATH_CALL(link, fromfd, from, tofd, to, (int)syscall(SYS_linkat, fromfd, from, tofd, to, flags));
}

int link(const char* from, const char* to) {
    PATH_CALL(link, AT_FDCWD, from, AT_FDCWD, to, (int)syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}
