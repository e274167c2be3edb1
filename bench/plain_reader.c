/* The floor for reading an archive: each file opened, read once (32 KiB)
 * and closed, on N threads that take the next path in turn; nothing is
 * decoded and no frame is built. Prints the seconds the reading took,
 * the path list's loading left out.
 *
 * usage: plain_reader THREADS LIST   (LIST: one path a line)
 * bench/python_archive.py builds it with cc and runs it. */
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char **paths;
static size_t count;
static atomic_size_t next_path;

static void *reader(void *unused)
{
    static _Thread_local unsigned char buffer[32768];
    (void)unused;
    for (size_t i = atomic_fetch_add(&next_path, 1); i < count; i = atomic_fetch_add(&next_path, 1)) {
        const int fd = open(paths[i], O_RDONLY);
        if (fd < 0) {
            perror(paths[i]);
            exit(1);
        }
        if (read(fd, buffer, sizeof buffer) < 0) {
            perror(paths[i]);
            exit(1);
        }
        close(fd);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s THREADS LIST\n", argv[0]);
        return 2;
    }
    const int threads = atoi(argv[1]);
    FILE *list = fopen(argv[2], "r");
    if (list == NULL || threads < 1 || threads > 1024) {
        fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[2]);
        return 2;
    }
    size_t capacity = 1024;
    paths = malloc(capacity * sizeof *paths);
    char line[4096];
    while (paths != NULL && fgets(line, sizeof line, list) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        if (count == capacity)
            paths = realloc(paths, (capacity *= 2) * sizeof *paths);
        if (paths != NULL)
            paths[count++] = strdup(line);
    }
    fclose(list);
    if (paths == NULL)
        return 2;
    pthread_t ids[1024];
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int t = 0; t < threads; ++t)
        pthread_create(&ids[t], NULL, reader, NULL);
    for (int t = 0; t < threads; ++t)
        pthread_join(ids[t], NULL);
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%.6f\n", (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9);
    return 0;
}
