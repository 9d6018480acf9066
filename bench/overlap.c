/* The bare overlapped reader: how fast a file share gives up what a listing needs when many
 * requests are in flight. N threads read the folder tree (every folder once, "." names left
 * out, as walk.h), and N other threads read the last 64 KiB of every "*.zip" file found, as
 * soon as it is found. No decoding, no order, no tree; only counts are printed.
 *
 *   overlap [--threads N] FOLDER        (N defaults to 64)
 *
 * Prints "folders=F archives=A bytes=B" on stdout; status 0, or 2 on bad use. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define TAIL (64 * 1024)

/* A queue of owned paths. */
struct queue {
    char **v;
    size_t head, n, cap;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static struct queue folders, archives;
static size_t folders_busy; /* folders taken but not yet read */
static unsigned long long n_folders, n_archives, n_bytes;

static void push(struct queue *q, char *path)
{
    if (q->head + q->n == q->cap) {
        if (q->head > q->cap / 2) {
            memmove(q->v, q->v + q->head, q->n * sizeof *q->v);
            q->head = 0;
        } else {
            q->cap = q->cap ? 2 * q->cap : 1024;
            q->v = realloc(q->v, q->cap * sizeof *q->v);
            if (!q->v) {
                perror("realloc");
                exit(2);
            }
        }
    }
    q->v[q->head + q->n++] = path;
}

static char *pop(struct queue *q)
{
    q->n--;
    return q->v[q->head++];
}

static char *join(const char *dir, const char *name)
{
    char *p;
    if (asprintf(&p, "%s/%s", dir, name) < 0) {
        perror("asprintf");
        exit(2);
    }
    return p;
}

static int is_zip(const char *name)
{
    size_t n = strlen(name);
    return n >= 4 && strcasecmp(name + n - 4, ".zip") == 0;
}

static void read_folder(const char *dir)
{
    DIR *d = opendir(dir);
    if (!d)
        return;
    for (struct dirent *e; (e = readdir(d)) != NULL;) {
        if (e->d_name[0] == '.')
            continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat st;
            if (fstatat(dirfd(d), e->d_name, &st, 0) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type != DT_DIR && !(type == DT_REG && is_zip(e->d_name)))
            continue;
        char *path = join(dir, e->d_name);
        pthread_mutex_lock(&lock);
        push(type == DT_DIR ? &folders : &archives, path);
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
    }
    closedir(d);
}

static void *walker(void *unused)
{
    (void)unused;
    pthread_mutex_lock(&lock);
    for (;;) {
        while (folders.n == 0 && folders_busy > 0)
            pthread_cond_wait(&changed, &lock);
        if (folders.n == 0)
            break;
        char *dir = pop(&folders);
        folders_busy++;
        pthread_mutex_unlock(&lock);
        read_folder(dir);
        free(dir);
        pthread_mutex_lock(&lock);
        folders_busy--;
        n_folders++;
        pthread_cond_broadcast(&changed);
    }
    pthread_mutex_unlock(&lock);
    return NULL;
}

static void *reader(void *unused)
{
    (void)unused;
    char *buf = malloc(TAIL);
    if (!buf)
        exit(2);
    pthread_mutex_lock(&lock);
    for (;;) {
        /* The walk is over when no folder is queued or being read. */
        while (archives.n == 0 && (folders.n > 0 || folders_busy > 0))
            pthread_cond_wait(&changed, &lock);
        if (archives.n == 0)
            break;
        char *path = pop(&archives);
        pthread_mutex_unlock(&lock);
        unsigned long long got = 0;
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0) {
            off_t at = st.st_size > TAIL ? st.st_size - TAIL : 0;
            for (ssize_t r; (r = pread(fd, buf, TAIL, at)) > 0; at += r)
                got += (unsigned long long)r;
        }
        if (fd >= 0)
            close(fd);
        free(path);
        pthread_mutex_lock(&lock);
        n_archives++;
        n_bytes += got;
    }
    pthread_mutex_unlock(&lock);
    free(buf);
    return NULL;
}

int main(int argc, char **argv)
{
    long threads = 64;
    const char *root = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = strtol(argv[++i], NULL, 10);
        else if (!root)
            root = argv[i];
        else
            threads = 0;
    }
    if (!root || threads < 1 || threads > 4096) {
        fprintf(stderr, "usage: overlap [--threads N] FOLDER\n");
        return 2;
    }
    size_t len = strlen(root);
    while (len > 1 && root[len - 1] == '/')
        len--;
    push(&folders, strndup(root, len));
    pthread_t *t = calloc(2 * (size_t)threads, sizeof *t);
    if (!t)
        return 2;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    for (long i = 0; i < 2 * threads; i++)
        if (pthread_create(&t[i], &attr, i < threads ? walker : reader, NULL) != 0) {
            perror("pthread_create");
            return 2;
        }
    for (long i = 0; i < 2 * threads; i++)
        pthread_join(t[i], NULL);
    printf("folders=%llu archives=%llu bytes=%llu\n", n_folders, n_archives, n_bytes);
    free(t);
    free(folders.v);
    free(archives.v);
    return 0;
}
