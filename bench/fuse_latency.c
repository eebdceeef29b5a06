/* fuse_latency: a read-only FUSE pass-through of a directory that waits a
 * fixed time in the operations that would reach slow storage. For
 * benchmarks only (bench/run.py --slow); CMake does not build it.
 *
 *   fuse_latency [--latency-us=N] [--threads=N] [--max-background=N]
 *                [--serial-dirops] [--no-kernel-cache] [-f] [-d] [-o opt,...]
 *                SOURCE MOUNTPOINT
 *
 * Waits --latency-us (default 1000) before serving getattr (which also
 * serves every lookup: the high-level library looks a name up by calling
 * getattr on its path), readlink, open, read, statfs, opendir and readdir.
 * release and releasedir return at once: the kernel sends them after
 * close() and does not wait for the answer. readdir fills the whole listing
 * in one call; the library serves the kernel's further READDIR(PLUS)
 * requests on that handle from its copy, so a listing costs opendir + one
 * readdir. Its entries carry no attributes, so every name opened or stat'ed
 * still costs a lookup.
 *
 * Requests are served concurrently: fuse_loop_mt with up to --threads
 * (default 64) workers, started as requests wait; each waits on its own, so
 * N requests in flight take about one latency. Lookups and readdirs in one
 * directory too, unless --serial-dirops (see writev below). --max-background
 * (default 64; the kernel's own default is 12) bounds the kernel's
 * asynchronous requests, among them the readahead reads of the page cache.
 * The timer slack is 1 ns, so a wait overshoots by the wake-up time only.
 *
 * Caches: entry and attribute timeouts 1 s, negative lookups not cached
 * (the library's defaults, set explicitly below). The page cache keeps what
 * was read across opens (kernel_cache: the source must not change while
 * mounted), as on a local disk; --no-kernel-cache drops a file's cached
 * pages whenever it is opened (the library's default). Inode numbers
 * are the source's (use_ino). Mounted with -o ro; open() for writing fails
 * with EROFS, and no operation that changes anything is implemented.
 */
#define FUSE_USE_VERSION 314
#define _GNU_SOURCE
#include <fuse.h>
#include <fuse_lowlevel.h> /* fuse_parse_cmdline */
#include <linux/fuse.h>    /* struct fuse_init_out, FUSE_PARALLEL_DIROPS */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

struct settings {
	unsigned latency_us, threads, max_background, serial_dirops, no_kernel_cache;
	char *source;
	int src_fd; /* the source directory: every path is opened relative to it */
};
static struct settings g = {1000, 64, 64, 0, 0, NULL, -1};
static int init_reply_next; /* set by init(): libfuse's next writev is its INIT reply */

static void wait_latency(void)
{
	struct timespec ts = {g.latency_us / 1000000, (long)(g.latency_us % 1000000) * 1000};
	while (g.latency_us && nanosleep(&ts, &ts) == -1 && errno == EINTR) {}
}

/* Paths from the library start with '/'; relative to the source's fd. */
static const char *rel(const char *path)
{
	return path[1] ? path + 1 : ".";
}

static void *lat_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
	cfg->use_ino = 1;
	cfg->entry_timeout = 1.0;
	cfg->attr_timeout = 1.0;
	cfg->negative_timeout = 0.0;
	cfg->kernel_cache = !g.no_kernel_cache;
	conn->max_background = g.max_background;
	conn->congestion_threshold = g.max_background * 3 / 4;
	__atomic_store_n(&init_reply_next, !g.serial_dirops, __ATOMIC_RELEASE);
	return NULL;
}

/* libfuse 3.14 never tells the kernel FUSE_PARALLEL_DIROPS (3.16 does, on
 * request), so the kernel would serialize lookup and readdir within each
 * directory. libfuse sends its INIT reply with writev right after init()
 * returns; this definition, which the dynamic linker binds libfuse's calls
 * to, sets the flag in that reply (-d logs the reply before this). */
ssize_t writev(int fd, const struct iovec *iov, int cnt)
{
	if (__atomic_load_n(&init_reply_next, __ATOMIC_ACQUIRE) &&
	    __atomic_exchange_n(&init_reply_next, 0, __ATOMIC_ACQ_REL) && cnt >= 2 &&
	    iov[0].iov_len == sizeof(struct fuse_out_header) &&
	    iov[1].iov_len >= offsetof(struct fuse_init_out, flags) + sizeof(uint32_t))
		((struct fuse_init_out *)iov[1].iov_base)->flags |= FUSE_PARALLEL_DIROPS;
	return syscall(SYS_writev, fd, iov, cnt);
}

static int lat_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
	(void)fi;
	wait_latency();
	return fstatat(g.src_fd, rel(path), st, AT_SYMLINK_NOFOLLOW) == -1 ? -errno : 0;
}

static int lat_readlink(const char *path, char *buf, size_t size)
{
	wait_latency();
	ssize_t n = readlinkat(g.src_fd, rel(path), buf, size - 1);
	if (n == -1)
		return -errno;
	buf[n] = '\0';
	return 0;
}

static int lat_open(const char *path, struct fuse_file_info *fi)
{
	if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC))
		return -EROFS;
	wait_latency();
	int fd = openat(g.src_fd, rel(path), O_RDONLY);
	if (fd == -1)
		return -errno;
	fi->fh = (uint64_t)fd;
	return 0;
}

static int lat_read(const char *path, char *buf, size_t size, off_t off,
		    struct fuse_file_info *fi)
{
	(void)path;
	wait_latency();
	ssize_t n = pread((int)fi->fh, buf, size, off);
	return n == -1 ? -errno : (int)n;
}

static int lat_statfs(const char *path, struct statvfs *sv)
{
	wait_latency();
	int fd = openat(g.src_fd, rel(path), O_RDONLY | O_PATH);
	int r = fd == -1 ? -1 : fstatvfs(fd, sv);
	int err = errno;
	if (fd != -1)
		close(fd);
	return r == -1 ? -err : 0;
}

static int lat_release(const char *path, struct fuse_file_info *fi)
{
	(void)path;
	close((int)fi->fh);
	return 0;
}

static int lat_opendir(const char *path, struct fuse_file_info *fi)
{
	wait_latency();
	int fd = openat(g.src_fd, rel(path), O_RDONLY | O_DIRECTORY);
	DIR *d = fd == -1 ? NULL : fdopendir(fd);
	if (!d) {
		int err = errno;
		if (fd != -1)
			close(fd);
		return -err;
	}
	fi->fh = (uint64_t)(uintptr_t)d;
	return 0;
}

static int lat_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off,
		       struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
	(void)path, (void)off, (void)flags;
	DIR *d = (DIR *)(uintptr_t)fi->fh;
	wait_latency();
	rewinddir(d); /* offset 0 mode: the library asks for the whole listing */
	errno = 0;
	for (struct dirent *e; (e = readdir(d)) != NULL; errno = 0) {
		struct stat st;
		memset(&st, 0, sizeof st);
		st.st_ino = e->d_ino;
		st.st_mode = (mode_t)e->d_type << 12;
		if (fill(buf, e->d_name, &st, 0, 0))
			return 0;
	}
	return -errno;
}

static int lat_releasedir(const char *path, struct fuse_file_info *fi)
{
	(void)path;
	closedir((DIR *)(uintptr_t)fi->fh);
	return 0;
}

static const struct fuse_operations ops = {
	.init = lat_init,
	.getattr = lat_getattr,
	.readlink = lat_readlink,
	.open = lat_open,
	.read = lat_read,
	.statfs = lat_statfs,
	.release = lat_release,
	.opendir = lat_opendir,
	.readdir = lat_readdir,
	.releasedir = lat_releasedir,
};

static const struct fuse_opt option_table[] = {
	{"--latency-us=%u", offsetof(struct settings, latency_us), 0},
	{"--threads=%u", offsetof(struct settings, threads), 0},
	{"--max-background=%u", offsetof(struct settings, max_background), 0},
	{"--serial-dirops", offsetof(struct settings, serial_dirops), 1},
	{"--no-kernel-cache", offsetof(struct settings, no_kernel_cache), 1},
	FUSE_OPT_END,
};

static int keep_arg(void *data, const char *arg, int key, struct fuse_args *out)
{
	(void)data, (void)out;
	if (key == FUSE_OPT_KEY_NONOPT && !g.source) {
		g.source = realpath(arg, NULL); /* the daemon may chdir to / */
		if (!g.source) {
			fprintf(stderr, "fuse_latency: %s: %s\n", arg, strerror(errno));
			return -1;
		}
		return 0;
	}
	return 1;
}

int main(int argc, char *argv[])
{
	struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
	struct fuse_cmdline_opts cl;
	if (fuse_opt_parse(&args, &g, option_table, keep_arg) == -1 || fuse_opt_add_arg(&args, "-oro") == -1 ||
	    fuse_parse_cmdline(&args, &cl) == -1)
		return 2;
	if (cl.show_help || !g.source || !cl.mountpoint || g.threads == 0) {
		fprintf(cl.show_help ? stdout : stderr, "usage: %s [--latency-us=N] [--threads=N] "
			"[--max-background=N] [--serial-dirops] [--no-kernel-cache] [-f] [-d] [-o opt,...] "
			"SOURCE MOUNTPOINT\n", argv[0]);
		if (cl.show_help)
			fuse_cmdline_help();
		return cl.show_help ? 0 : 2;
	}
	g.src_fd = open(g.source, O_RDONLY | O_DIRECTORY);
	if (g.src_fd == -1) {
		fprintf(stderr, "fuse_latency: %s: %s\n", g.source, strerror(errno));
		return 1;
	}
	prctl(PR_SET_TIMERSLACK, 1UL); /* inherited by the worker threads */
	struct fuse *f = fuse_new(&args, &ops, sizeof ops, NULL);
	int res = 1;
	if (f && fuse_mount(f, cl.mountpoint) == 0) {
		if (fuse_daemonize(cl.foreground) == 0 && fuse_set_signal_handlers(fuse_get_session(f)) == 0) {
			struct fuse_loop_config *lc = fuse_loop_cfg_create();
			fuse_loop_cfg_set_max_threads(lc, g.threads);
			res = fuse_loop_mt(f, lc) ? 1 : 0;
			fuse_loop_cfg_destroy(lc);
			fuse_remove_signal_handlers(fuse_get_session(f));
		}
		fuse_unmount(f);
	}
	if (f)
		fuse_destroy(f);
	free(cl.mountpoint);
	fuse_opt_free_args(&args);
	return res;
}
