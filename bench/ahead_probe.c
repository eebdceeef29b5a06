/* ahead_probe: what the read-ahead's I/O costs with threads and with
 * io_uring, side by side, for the choice between them (bench/README.md,
 * "Reading ahead"). Not part of zorv and not built by CMake:
 *
 *   cc -O2 -Wall -Wextra -o build/bench/ahead_probe bench/ahead_probe.c -luring -lpthread
 *   ahead_probe threads|uring N FILE...
 *
 * For every FILE, what zorv's reader does first: its status, an open, a read
 * of its last 64 KiB (where a small archive's end record and directory
 * lie) and a close, with up to N files in flight. threads: N threads, each
 * taking the next file and making the four calls. uring: one thread and one
 * ring; per file a statx, then (once the size is known) an open into a
 * registered file slot, the read and the close linked behind it, N files in
 * flight. Prints the files done, the bytes read and the seconds taken. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <liburing.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define TAIL 65536

static char **files;
static int nfiles;
static int next_file;
static long long total;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static double now(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

static void *worker(void *arg)
{
	char *buf = malloc(TAIL);
	(void)arg;
	for (;;) {
		pthread_mutex_lock(&lock);
		int i = next_file++;
		pthread_mutex_unlock(&lock);
		if (i >= nfiles)
			break;
		struct stat st;
		if (stat(files[i], &st) != 0)
			continue;
		int fd = open(files[i], O_RDONLY);
		if (fd < 0)
			continue;
		off_t at = st.st_size > TAIL ? st.st_size - TAIL : 0;
		ssize_t got = pread(fd, buf, TAIL, at);
		close(fd);
		pthread_mutex_lock(&lock);
		total += got > 0 ? got : 0;
		pthread_mutex_unlock(&lock);
	}
	free(buf);
	return NULL;
}

static int run_threads(int n)
{
	pthread_t *t = calloc(n, sizeof *t);
	for (int i = 0; i < n; i++)
		pthread_create(&t[i], NULL, worker, NULL);
	for (int i = 0; i < n; i++)
		pthread_join(t[i], NULL);
	free(t);
	return 0;
}

/* One file in flight on the ring: its slot, its status, its buffer. */
struct flight {
	int file;
	struct statx stx;
	char *buf;
};

enum { STATX = 1, OPEN, READ, CLOSE };
#define TAG(slot, op) ((unsigned long long)(slot) << 8 | (op))

static void start(struct io_uring *ring, struct flight *f, int slot)
{
	struct io_uring_sqe *sqe = io_uring_get_sqe(ring);
	io_uring_prep_statx(sqe, AT_FDCWD, files[f[slot].file], 0, STATX_SIZE, &f[slot].stx);
	io_uring_sqe_set_data64(sqe, TAG(slot, STATX));
}

static void read_tail(struct io_uring *ring, struct flight *f, int slot)
{
	long long size = (long long)f[slot].stx.stx_size;
	off_t at = size > TAIL ? size - TAIL : 0;
	struct io_uring_sqe *sqe = io_uring_get_sqe(ring);
	io_uring_prep_openat_direct(sqe, AT_FDCWD, files[f[slot].file], O_RDONLY, 0, slot);
	sqe->flags |= IOSQE_IO_LINK;
	io_uring_sqe_set_data64(sqe, TAG(slot, OPEN));
	sqe = io_uring_get_sqe(ring);
	io_uring_prep_read(sqe, slot, f[slot].buf, TAIL, at);
	sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_LINK;
	io_uring_sqe_set_data64(sqe, TAG(slot, READ));
	sqe = io_uring_get_sqe(ring);
	io_uring_prep_close_direct(sqe, slot);
	io_uring_sqe_set_data64(sqe, TAG(slot, CLOSE));
}

static int run_uring(int n)
{
	struct io_uring ring;
	if (io_uring_queue_init(4 * n, &ring, 0) != 0 || io_uring_register_files_sparse(&ring, n) != 0) {
		fprintf(stderr, "ahead_probe: io_uring setup failed\n");
		return 1;
	}
	struct flight *f = calloc(n, sizeof *f);
	int busy = 0;
	for (int s = 0; s < n && next_file < nfiles; s++, busy++) {
		f[s].buf = malloc(TAIL);
		f[s].file = next_file++;
		start(&ring, f, s);
	}
	for (int s = busy; s < n; s++)
		f[s].buf = malloc(TAIL);
	while (busy > 0) {
		io_uring_submit_and_wait(&ring, 1);
		struct io_uring_cqe *cqe;
		unsigned head, seen = 0;
		io_uring_for_each_cqe(&ring, head, cqe) {
			seen++;
			int slot = (int)(cqe->user_data >> 8);
			int op = (int)(cqe->user_data & 0xff);
			if (op == STATX && cqe->res == 0) {
				read_tail(&ring, f, slot);
				continue;
			}
			if (op == READ && cqe->res > 0)
				total += cqe->res;
			if (op == STATX || op == CLOSE) { /* this file is done */
				if (next_file < nfiles) {
					f[slot].file = next_file++;
					start(&ring, f, slot);
				} else {
					busy--;
				}
			}
		}
		io_uring_cq_advance(&ring, seen);
	}
	io_uring_queue_exit(&ring);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc < 4 || (strcmp(argv[1], "threads") != 0 && strcmp(argv[1], "uring") != 0)) {
		fprintf(stderr, "usage: ahead_probe threads|uring N FILE...\n");
		return 2;
	}
	int n = atoi(argv[2]);
	files = argv + 3;
	nfiles = argc - 3;
	double began = now();
	int rc = strcmp(argv[1], "threads") == 0 ? run_threads(n) : run_uring(n);
	printf("%s %d: %d files, %lld bytes, %.3f s\n", argv[1], n, nfiles, total, now() - began);
	return rc;
}
