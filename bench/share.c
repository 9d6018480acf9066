/* A file share for the benchmarks: a read-only FUSE view of SOURCE at MOUNTPOINT that waits a
 * fixed time before answering each request, as a network round trip would, and answers many
 * requests at once, as a file server does.
 *
 *   share [--delay-ms MS] [--threads N] SOURCE MOUNTPOINT
 *
 * It behaves as an NFS client towards the programs that read it: names and attributes are
 * cached by the kernel for 30 s, file contents are kept while the file is unchanged, folders are
 * read with their attributes (readdirplus), reads of one file go out in parallel, and the limits
 * on requests in flight are raised well above the kernel's defaults (12 background requests)
 * and libfuse's (10 threads), so that neither holds a program's overlapped requests back.
 * Runs in the foreground until it is unmounted (fusermount3 -u MOUNTPOINT) or signalled. */
#define FUSE_USE_VERSION 314
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int source = -1; /* the folder shared */
static struct timespec delay;

static void round_trip(void)
{
    if (delay.tv_sec || delay.tv_nsec)
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &delay, &delay) == EINTR)
            ;
}

/* The path below the source folder: "/" is ".". */
static const char *below(const char *path)
{
    return path[1] ? path + 1 : ".";
}

static void *share_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    cfg->entry_timeout = 30;
    cfg->attr_timeout = 30;
    cfg->negative_timeout = 30;
    cfg->use_ino = 1;
    cfg->kernel_cache = 1;
    cfg->nullpath_ok = 1;
    conn->max_background = 512;
    conn->congestion_threshold = 384;
    if (conn->capable & FUSE_CAP_READDIRPLUS)
        conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    if (conn->capable & FUSE_CAP_PARALLEL_DIROPS)
        conn->want |= FUSE_CAP_PARALLEL_DIROPS;
    if (conn->capable & FUSE_CAP_ASYNC_READ)
        conn->want |= FUSE_CAP_ASYNC_READ;
    return NULL;
}

static int share_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    round_trip();
    int r = fi ? fstat((int)fi->fh, st) : fstatat(source, below(path), st, AT_SYMLINK_NOFOLLOW);
    return r == 0 ? 0 : -errno;
}

static int share_readlink(const char *path, char *to, size_t size)
{
    round_trip();
    ssize_t n = readlinkat(source, below(path), to, size - 1);
    if (n < 0)
        return -errno;
    to[n] = 0;
    return 0;
}

static int share_open(const char *path, struct fuse_file_info *fi)
{
    round_trip();
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    int fd = openat(source, below(path), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    fi->keep_cache = 1;
    return 0;
}

static int share_read(const char *path, char *to, size_t size, off_t at, struct fuse_file_info *fi)
{
    (void)path;
    round_trip();
    ssize_t n = pread((int)fi->fh, to, size, at);
    return n < 0 ? -errno : (int)n;
}

static int share_release(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    round_trip();
    close((int)fi->fh);
    return 0;
}

static int share_opendir(const char *path, struct fuse_file_info *fi)
{
    round_trip();
    int fd = openat(source, below(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR *d = fdopendir(fd);
    if (!d) {
        int e = errno;
        close(fd);
        return -e;
    }
    fi->fh = (uint64_t)(uintptr_t)d;
    return 0;
}

/* One kernel request, one round trip: the folder is read on from where the last answer ended,
 * with each entry's attributes when the kernel asks for them. */
static int share_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t at,
                         struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    (void)path;
    round_trip();
    DIR *d = (DIR *)(uintptr_t)fi->fh;
    if (at == 0)
        rewinddir(d);
    else
        seekdir(d, at);
    const int plus = (flags & FUSE_READDIR_PLUS) != 0;
    for (struct dirent *e; (e = readdir(d)) != NULL;) {
        struct stat st = {0};
        enum fuse_fill_dir_flags how = 0;
        if (plus && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            how = FUSE_FILL_DIR_PLUS;
        } else {
            st.st_ino = e->d_ino;
            st.st_mode = (mode_t)DTTOIF(e->d_type);
        }
        if (fill(buf, e->d_name, &st, telldir(d), how))
            break;
    }
    return 0;
}

static int share_releasedir(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    round_trip();
    closedir((DIR *)(uintptr_t)fi->fh);
    return 0;
}

static int share_statfs(const char *path, struct statvfs *st)
{
    (void)path;
    round_trip();
    return fstatvfs(source, st) == 0 ? 0 : -errno;
}

static int share_access(const char *path, int mode)
{
    round_trip();
    if (mode & W_OK)
        return -EROFS;
    return faccessat(source, below(path), mode, 0) == 0 ? 0 : -errno;
}

static const struct fuse_operations operations = {
    .init = share_init,
    .getattr = share_getattr,
    .readlink = share_readlink,
    .open = share_open,
    .read = share_read,
    .release = share_release,
    .opendir = share_opendir,
    .readdir = share_readdir,
    .releasedir = share_releasedir,
    .statfs = share_statfs,
    .access = share_access,
};

int main(int argc, char **argv)
{
    double delay_ms = 1;
    unsigned threads = 256;
    const char *from = NULL, *mountpoint = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc)
            delay_ms = strtod(argv[++i], NULL);
        else if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = (unsigned)strtoul(argv[++i], NULL, 10);
        else if (!from)
            from = argv[i];
        else if (!mountpoint)
            mountpoint = argv[i];
        else
            from = NULL;
    }
    if (!from || !mountpoint || delay_ms < 0 || threads < 1) {
        fprintf(stderr, "usage: share [--delay-ms MS] [--threads N] SOURCE MOUNTPOINT\n");
        return 2;
    }
    const long long ns = (long long)(delay_ms * 1e6);
    delay.tv_sec = ns / 1000000000;
    delay.tv_nsec = ns % 1000000000;
    source = open(from, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source < 0) {
        perror(from);
        return 1;
    }

    char *fuse_argv[] = {argv[0], "-o", "ro,default_permissions,fsname=hakomi-share,subtype=share",
                         NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    struct fuse *fuse = fuse_new(&args, &operations, sizeof operations, NULL);
    if (!fuse)
        return 1;
    int status = 1;
    if (fuse_mount(fuse, mountpoint) == 0) {
        if (fuse_set_signal_handlers(fuse_get_session(fuse)) == 0) {
            struct fuse_loop_config *loop = fuse_loop_cfg_create();
            fuse_loop_cfg_set_clone_fd(loop, 1);
            fuse_loop_cfg_set_max_threads(loop, threads);
            fuse_loop_cfg_set_idle_threads(loop, threads);
            status = fuse_loop_mt(fuse, loop) == 0 ? 0 : 1;
            fuse_loop_cfg_destroy(loop);
            fuse_remove_signal_handlers(fuse_get_session(fuse));
        }
        fuse_unmount(fuse);
    }
    fuse_destroy(fuse);
    close(source);
    return status;
}
