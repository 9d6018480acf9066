/* The benchmark programs' folder walk and output, in C, header-only.
 *
 * find_archives() collects the plain files whose names end in ".zip" (any case) below a folder,
 * in the lister's order: a folder's subfolders, each as a whole tree, in enumeration order, then
 * the folder's own archives in enumeration order. Names starting with "." are left out, and
 * folders with them. Each folder is read once; an entry whose type the listing does not give,
 * or a link, is looked up with fstatat. A folder that is already on the branch is not entered
 * again. */
#ifndef HAKOMI_BENCH_WALK_H
#define HAKOMI_BENCH_WALK_H

#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

struct paths {
    char **v;
    size_t n, cap;
};

static void *walk_alloc(void *p, size_t n)
{
    p = realloc(p, n);
    if (!p) {
        perror("realloc");
        exit(2);
    }
    return p;
}

static void paths_add(struct paths *l, char *owned)
{
    if (l->n == l->cap) {
        l->cap = l->cap ? 2 * l->cap : 64;
        l->v = walk_alloc(l->v, l->cap * sizeof *l->v);
    }
    l->v[l->n++] = owned;
}

static char *path_join(const char *dir, size_t dlen, const char *name)
{
    size_t nlen = strlen(name);
    char *p = walk_alloc(NULL, dlen + nlen + 2);
    memcpy(p, dir, dlen);
    p[dlen] = '/';
    memcpy(p + dlen + 1, name, nlen + 1);
    return p;
}

static void paths_free(struct paths *l)
{
    for (size_t i = 0; i < l->n; i++)
        free(l->v[i]);
    free(l->v);
    memset(l, 0, sizeof *l);
}

static int is_zip_name(const char *name)
{
    size_t n = strlen(name);
    if (n < 4 || name[n - 4] != '.')
        return 0;
    return (name[n - 3] | 0x20) == 'z' && (name[n - 2] | 0x20) == 'i' &&
           (name[n - 1] | 0x20) == 'p';
}

struct walk_frame {
    dev_t dev;
    ino_t ino;
    const struct walk_frame *up;
};

static void walk_folder(int fd, const char *dir, const struct walk_frame *up, struct paths *out)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return;
    }
    for (const struct walk_frame *f = up; f; f = f->up) {
        if (f->dev == st.st_dev && f->ino == st.st_ino) {
            close(fd);
            return;
        }
    }
    struct walk_frame here = {st.st_dev, st.st_ino, up};
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return;
    }
    struct paths folders = {0}, zips = {0};
    size_t dlen = strlen(dir);
    for (struct dirent *e; (e = readdir(d)) != NULL;) {
        if (e->d_name[0] == '.')
            continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            if (fstatat(dirfd(d), e->d_name, &st, 0) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR)
            paths_add(&folders, path_join(dir, dlen, e->d_name));
        else if (type == DT_REG && is_zip_name(e->d_name))
            paths_add(&zips, path_join(dir, dlen, e->d_name));
    }
    for (size_t i = 0; i < folders.n; i++) {
        int sub = openat(dirfd(d), folders.v[i] + dlen + 1,
                         O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
        if (sub >= 0)
            walk_folder(sub, folders.v[i], &here, out);
    }
    closedir(d);
    paths_free(&folders);
    for (size_t i = 0; i < zips.n; i++)
        paths_add(out, zips.v[i]);
    free(zips.v);
}

/* Appends to out the archives below the folder root. */
static void find_archives(const char *root, struct paths *out)
{
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    size_t n = strlen(root);
    while (n > 0 && root[n - 1] == '/')
        n--;
    char *dir = walk_alloc(NULL, n + 1);
    memcpy(dir, root, n);
    dir[n] = 0;
    walk_folder(fd, dir, NULL, out);
    free(dir);
}

/* Output through one buffer, written out a MiB at a time. */
static struct {
    char b[1 << 20];
    size_t n;
} emit_buf;

static void emit_flush(void)
{
    fwrite(emit_buf.b, 1, emit_buf.n, stdout);
    fflush(stdout);
    emit_buf.n = 0;
}

static void emit(const void *s, size_t n)
{
    if (emit_buf.n + n > sizeof emit_buf.b) {
        emit_flush();
        if (n > sizeof emit_buf.b) {
            fwrite(s, 1, n, stdout);
            return;
        }
    }
    memcpy(emit_buf.b + emit_buf.n, s, n);
    emit_buf.n += n;
}

/* The listing: the archive's path on a line, then TAB raw-name per entry, or TAB "(not an
 * archive)" when nothing could be listed. */
static void emit_archive(const char *path)
{
    emit(path, strlen(path));
    emit("\n", 1);
}

static void emit_entry(const char *name, size_t n)
{
    emit("\t", 1);
    emit(name, n);
    emit("\n", 1);
}

static void emit_not_archive(void)
{
    emit("\t(not an archive)\n", 18);
}

#endif
