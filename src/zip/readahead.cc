#include "zip/readahead.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace zorv {

namespace {

enum class State { Free, Queued, Working, Done };

std::int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

struct Item {
  Ahead out;
  State state;
  std::uint64_t seq;
  bool listed;     // a listing said it is a regular file; no status read
  bool given;      // st holds the status the caller read
  bool retry;      // a thread found no descriptor free: the taker opens it
  bool sniffed;    // an archive only if its end record says so: else skipped
  struct stat st;  // the status given, when not listed
  std::size_t charge;  // directory bytes admitted for it
  std::int64_t open_ns;  // how long its open took
  char* path;  // the file to open, then the name its messages give
  char* name;
  std::size_t path_cap;
  ZipSpan span;  // the archive's bytes in the file
  Readahead* ra;
};

}  // namespace

struct Readahead {
  AheadLimits limits;
  ZipCache* cache;
  std::vector<Item> ring;  // window slots; item `seq` lives at seq % window
  std::uint64_t head = 0;  // oldest pending (taken or not)
  std::uint64_t start = 0;  // next to be started by anyone
  std::uint64_t tail = 0;   // next to be asked for
  bool taken = false;       // the head is handed over
  bool stopping = false;
  std::size_t held = 0;  // directory bytes admitted and not released
  std::size_t peak = 0;
  std::int64_t typical_ns = 0;  // how long opening an archive takes, smoothed
  bool no_threads = false;      // starting them failed: the caller opens everything
  unsigned busy = 0;            // items the threads are opening (a descriptor each)
  bool want_fds = false;        // the caller found none free: the threads let theirs go
  DirImages images{};           // where directory images are found and kept
  unsigned image_users = 0;     // opens using `images` right now
  std::mutex lock;
  std::condition_variable work;  // an item was queued, or stop
  std::condition_variable done;  // an item is done, or bytes were released
  std::vector<std::thread> threads;
};

namespace {

Item& slot(Readahead* ra, std::uint64_t seq) {
  return ra->ring[seq % ra->ring.size()];
}

// Called by the reader before it allocates a directory: an archive ahead of
// the one the caller needs waits while the bytes held ahead would pass the
// limit. The next one needed never waits, so the caller always progresses.
// One that waits holds its descriptor: when the caller finds none free, it
// gives up (the reader closes it without a word) and is left to the taker.
bool admit(std::size_t bytes, void* ctx) {
  auto* item = static_cast<Item*>(ctx);
  Readahead* ra = item->ra;
  std::unique_lock<std::mutex> hold(ra->lock);
  ra->done.wait(hold, [&] {
    return ra->stopping || item->seq == ra->head || ra->want_fds ||
           ra->held + bytes <= ra->limits.bytes;
  });
  if (!ra->stopping && item->seq != ra->head && ra->want_fds &&
      ra->held + bytes > ra->limits.bytes) {
    item->retry = true;
    return false;
  }
  ra->held += bytes;
  ra->peak = std::max(ra->peak, ra->held);
  item->charge += bytes;
  return true;
}

bool out_of_descriptors(int err) {
  return err == EMFILE || err == ENFILE;
}

// The caller found no descriptor free, and the threads may hold some, or
// have held some a moment ago: holds them back from starting anything and
// waits until none of them holds one (one waiting for room gives up its
// archive). The caller then opens again and lets them go on with
// threads_resume.
void threads_let_go(Readahead* ra) {
  std::unique_lock<std::mutex> hold(ra->lock);
  ra->want_fds = true;
  ra->done.notify_all();  // wakes those waiting for room
  ra->done.wait(hold, [&] { return ra->busy == 0; });
}

void threads_resume(Readahead* ra) {
  {
    std::lock_guard<std::mutex> hold(ra->lock);
    ra->want_fds = false;
  }
  ra->work.notify_all();
}

// The images an open uses, held for as long as it runs (none for an
// archive that cannot have one).
struct ImagesHeld {
  Readahead* ra;
  DirImages images{};
  ImagesHeld(Readahead* r, bool wanted) : ra(r) {
    if (!wanted) return;
    std::lock_guard<std::mutex> hold(ra->lock);
    images = ra->images;
    if (images.find != nullptr || images.keep != nullptr) ++ra->image_users;
  }
  ~ImagesHeld() {
    if (images.find == nullptr && images.keep == nullptr) return;
    std::lock_guard<std::mutex> hold(ra->lock);
    --ra->image_users;
    ra->done.notify_all();
  }
  ImagesHeld(const ImagesHeld&) = delete;
  ImagesHeld& operator=(const ImagesHeld&) = delete;
};

std::int64_t wall_ns() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Makes the archive from the image kept for the file as it is now, without
// opening it; false when there is none (or it cannot be used).
bool open_from_image(Item* item, const DirImages& images, std::int64_t began) {
  Ahead& a = item->out;
  struct stat st;
  if (stat(item->path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::vector<unsigned char> image;
  if (!images.find(images.ctx, item->path, st, &image)) return false;
  a.zd = openzip_image(image.data(), image.size(), item->name,
                       ZipOpen{nullptr, item->ra->cache, admit, item, 0, item->span});
  item->open_ns = now_ns() - began;
  if (a.zd == nullptr) return item->retry;  // held back: the taker opens it again
  a.has_id = true;
  a.id = file_id_of(st);
  return true;
}

// Opens one archive as a serial run would, with the reader's messages kept
// for the taker. `may_defer`: a thread that finds no descriptor free leaves
// the archive to the taker. The taker, finding none free, has the threads
// let theirs go and opens it again: it then holds no more descriptors than
// a serial run would. A file the images hold a directory for, as its status
// is now, is not opened at all; one slow to open has its image kept.
void open_item(Item* item, bool may_defer) {
  Ahead& a = item->out;
  Diag keep{&a.messages};  // the reader's lines wait with the archive for its taker
  std::int64_t began = now_ns();
  ImagesHeld held(item->ra, !item->sniffed && item->span.len < 0);
  const DirImages& images = held.images;
  if (images.find != nullptr && open_from_image(item, images, began)) return;
  std::int64_t taken = images.keep != nullptr ? wall_ns() : 0;
  int fd = open(item->path, zip_open_flags());
  int err = errno;
  if (fd < 0 && !may_defer && out_of_descriptors(err)) {
    threads_let_go(item->ra);
    fd = open(item->path, zip_open_flags());
    err = errno;
    threads_resume(item->ra);
  }
  struct stat st;
  bool known = fd >= 0 && fstat(fd, &st) == 0;
  item->open_ns = now_ns() - began;
  if (fd < 0 && may_defer && out_of_descriptors(err)) {
    item->retry = true;
  } else if (item->listed && fd < 0) {
    // What the status call the listing spared would have found.
    if (stat(item->path, &st) != 0) {
      a.status_errno = errno != 0 ? errno : EIO;
    } else if (!S_ISREG(st.st_mode)) {
      a.skip = true;
    } else {
      a.has_id = true;
      a.id = file_id_of(st);
      openzip_at(-1, nullptr, item->name, ZipOpen{&keep, nullptr, nullptr, nullptr});  // says why
    }
  } else if (item->listed && known && !S_ISREG(st.st_mode)) {
    close(fd);
    a.skip = true;
  } else {
    // The open file's own status first: the file is known by what it was
    // when it was read, and the caller's status may be older than the open.
    const struct stat* given = known ? &st : item->given ? &item->st : nullptr;
    if (given != nullptr) {
      a.has_id = true;
      a.id = file_id_of(*given);
    }
    a.zd = openzip_at(fd, known ? &st : nullptr, item->name,
                      ZipOpen{item->sniffed ? nullptr : &keep, item->ra->cache, admit, item,
                              item->sniffed ? ECD_SEARCH_STRICT : 0, item->span});
    if (a.zd != nullptr && known && images.keep != nullptr &&
        item->open_ns >= item->ra->limits.slow_ns &&
        zip_image_size(a.zd) <= zip_image_size_max(IMAGE_CD_MAX)) {
      images.keep(images.ctx, item->path, st, taken, a.zd);
    }
  }
  // A file read for its bytes that turns out no archive, or not one that
  // can be read, is none of the report's business.
  if (item->sniffed && a.zd == nullptr && !item->retry) {
    a.skip = true;
    a.status_errno = 0;
    a.messages.len = 0;
  }
}

void reset(Item* item) {
  item->out.zd = nullptr;
  item->out.skip = false;
  item->out.status_errno = 0;
  item->out.has_id = false;
  item->out.id = FileId{};
  item->out.messages.len = 0;
  item->retry = false;
  item->charge = 0;
}

// Runs open_item and adds how long its open took to the smoothed figure:
// the open is one round trip to the storage (two with the lookup of the
// name), whatever the size of the archive, so it tells slow storage from a
// big directory.
void open_timed(Readahead* ra, std::unique_lock<std::mutex>& hold, Item* item, bool may_defer) {
  hold.unlock();
  open_item(item, may_defer);
  hold.lock();
  ra->typical_ns += (item->open_ns - ra->typical_ns) / 4;
}

void serve(Readahead* ra) {
  std::unique_lock<std::mutex> hold(ra->lock);
  for (;;) {
    ra->work.wait(hold, [&] { return ra->stopping || (!ra->want_fds && ra->start < ra->tail); });
    if (ra->stopping) return;
    Item& item = slot(ra, ra->start++);
    item.state = State::Working;
    ++ra->busy;
    open_timed(ra, hold, &item, true);
    --ra->busy;
    item.state = State::Done;
    ra->done.notify_all();
  }
}

// Whether the threads run, starting them the first time the storage shows
// itself slow: a run on a fast disk never has any. Called by the caller
// only, without the lock.
bool has_threads(Readahead* ra) {
  if (!ra->threads.empty()) return true;
  if (ra->limits.jobs <= 1 || ra->no_threads) return false;
  try {
    ra->threads.reserve(ra->limits.jobs);
    for (unsigned i = 0; i < ra->limits.jobs; ++i)
      ra->threads.emplace_back(serve, ra);
  } catch (const std::exception&) {
    // As many as the system granted serve; none: the caller opens each.
    ra->no_threads = ra->threads.empty();
  }
  return !ra->threads.empty();
}

void release_item(Readahead* ra, Item& item) {
  if (item.out.zd != nullptr) closezip(item.out.zd);
  item.out.zd = nullptr;
  item.state = State::Free;
  ra->held -= item.charge;
  item.charge = 0;
  ++ra->head;
}

}  // namespace

AheadLimits ahead_limits(unsigned jobs) {
  // Each job holds a descriptor while it reads: half of what the process
  // may open is left for the walk's directories and everything else.
  struct rlimit most;
  if (getrlimit(RLIMIT_NOFILE, &most) == 0 && most.rlim_cur != RLIM_INFINITY) {
    auto spare = most.rlim_cur > 34 ? (most.rlim_cur - 16) / 2 : 1;
    jobs = static_cast<unsigned>(std::min<rlim_t>(jobs, spare));
  }
  jobs = std::max(1u, jobs);
  return AheadLimits{jobs, jobs == 1 ? 1 : std::size_t{2} * jobs, std::size_t{64} << 20,
                     100'000};
}

Readahead* readahead_start(const AheadLimits& limits, ZipCache* cache) {
  auto* ra = new (std::nothrow) Readahead;
  if (ra == nullptr) return nullptr;
  ra->limits = limits;
  ra->cache = cache;
  try {
    ra->ring.resize(std::max<std::size_t>(1, limits.window));
    for (Item& item : ra->ring)
      item = Item{Ahead{}, State::Free, 0,       false, false, false, false, {},
                  0,       0,           nullptr, nullptr, 0,     ZipSpan{}, ra};
  } catch (const std::exception&) {  // no memory, or no thread: nothing may be left running
    readahead_stop(ra);
    return nullptr;
  }
  return ra;
}

void readahead_stop(Readahead* ra) {
  {
    std::lock_guard<std::mutex> hold(ra->lock);
    ra->stopping = true;
    ra->start = ra->tail;  // nothing more is started
  }
  ra->work.notify_all();
  ra->done.notify_all();
  for (std::thread& t : ra->threads)
    t.join();
  for (Item& item : ra->ring) {
    if (item.out.zd != nullptr) closezip(item.out.zd);
    message_buf_free(&item.out.messages);
    std::free(item.path);
  }
  delete ra;
}

bool readahead_full(const Readahead* ra) {
  return ra->tail - ra->head >= ra->ring.size();
}

std::size_t readahead_pending(const Readahead* ra) {
  return static_cast<std::size_t>(ra->tail - ra->head);
}

bool readahead_submit(Readahead* ra, const char* path, const struct stat* st, bool listed,
                      bool sniffed, const ZipSpan& span, const char* name) {
  if (readahead_full(ra)) return false;
  std::uint64_t seq = ra->tail;
  Item& item = slot(ra, seq);  // free: the window is not full, and only the caller frees
  std::size_t len = std::strlen(path) + 1;
  std::size_t name_len = name != nullptr ? std::strlen(name) + 1 : 0;
  if (len + name_len > item.path_cap) {
    auto* bigger = static_cast<char*>(std::realloc(item.path, len + name_len));
    if (bigger == nullptr) return false;
    item.path = bigger;
    item.path_cap = len + name_len;
  }
  std::memcpy(item.path, path, len);
  item.name = item.path;
  if (name != nullptr) {
    item.name = item.path + len;
    std::memcpy(item.name, name, name_len);
  }
  item.span = span;
  reset(&item);
  item.out.path = item.name;
  item.seq = seq;
  item.listed = listed;
  item.sniffed = sniffed;
  item.given = st != nullptr;
  if (st != nullptr) item.st = *st;
  bool slow;
  {
    std::lock_guard<std::mutex> hold(ra->lock);
    item.state = State::Queued;
    ra->tail = seq + 1;
    slow = ra->typical_ns >= ra->limits.slow_ns;
  }
  if (slow && has_threads(ra)) ra->work.notify_one();
  return true;
}

Ahead* readahead_take(Readahead* ra) {
  std::unique_lock<std::mutex> hold(ra->lock);
  if (ra->head == ra->tail) return nullptr;
  Item& item = slot(ra, ra->head);
  if (ra->start == ra->head) {
    // No thread has started it: rather than wait for one, open it here.
    ++ra->start;
    item.state = State::Working;
    open_timed(ra, hold, &item, false);
    item.state = State::Done;
    if (ra->typical_ns >= ra->limits.slow_ns && ra->start < ra->tail) {
      hold.unlock();
      if (has_threads(ra)) ra->work.notify_all();
      hold.lock();
    }
  }
  ra->done.wait(hold, [&] { return item.state == State::Done; });
  ra->taken = true;
  hold.unlock();
  if (item.retry) {
    reset(&item);
    open_item(&item, false);
  }
  return &item.out;
}

void readahead_release(Readahead* ra) {
  std::lock_guard<std::mutex> hold(ra->lock);
  ZORV_ASSERT(ra->taken, "taken");
  ra->taken = false;
  release_item(ra, slot(ra, ra->head));
  ra->done.notify_all();  // bytes freed, and a new head may be admitted
}

void readahead_images(Readahead* ra, const DirImages* images) {
  std::unique_lock<std::mutex> hold(ra->lock);
  ra->images = images != nullptr ? *images : DirImages{};
  // Opens that start from now on take no images: the wait is short.
  if (images == nullptr) ra->done.wait(hold, [&] { return ra->image_users == 0; });
}

bool readahead_slow(Readahead* ra) {
  std::lock_guard<std::mutex> hold(ra->lock);
  return ra->limits.jobs > 1 && ra->typical_ns >= ra->limits.slow_ns;
}

void readahead_drop(Readahead* ra) {
  std::unique_lock<std::mutex> hold(ra->lock);
  if (ra->taken) {
    ra->taken = false;
    release_item(ra, slot(ra, ra->head));
  }
  ra->tail = std::max(ra->start, ra->head);  // the ones not started are forgotten
  while (ra->head < ra->tail) {
    Item& item = slot(ra, ra->head);
    ra->done.wait(hold, [&] { return item.state == State::Done; });
    release_item(ra, item);
    ra->done.notify_all();
  }
  for (Item& item : ra->ring)
    if (item.state == State::Queued) item.state = State::Free;
}

}  // namespace zorv

namespace zorv {

std::size_t readahead_peak_bytes(const Readahead* ra) {
  return ra->peak;
}

}  // namespace zorv
