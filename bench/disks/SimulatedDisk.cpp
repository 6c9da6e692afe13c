// Serves one disk image, read-only, through FUSE as the file "image", and makes every read take
// the time a device of the chosen kind would:
//   spinning  one request at a time: 8 ms to seek, 1 ms for a hop of under 1 MiB from where the
//             last request ended, nothing to go on where it ended; then 150 MB/s. While idle,
//             it reads on past the last request into its cache, up to 1 MiB.
//   flash     8 channels, each one request at a time: 0.1 ms, then 300 MB/s
// The data itself comes from the image as fast as the machine gives it; only the sleeps set the
// pace, so other work on the machine hardly changes the figures. Reads are direct, so nothing
// of the image is cached above this program.
//   simulated_disk spinning|flash IMAGE MOUNTPOINT    runs until MOUNTPOINT is unmounted

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr char kName[] = "image";

// When each read would be over on the device: requests are taken in the order they come, each
// starting once the device (or channel) has finished the one before it.
class Device {
public:
  explicit Device(bool spinning) : spinning_(spinning) {}
  bool spinning() const { return spinning_; }

  Clock::time_point Done(off_t offset, std::size_t size) {
    const std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (!spinning_) {
      auto &channel = *std::min_element(channels_.begin(), channels_.end());
      channel = std::max(channel, now) + Time(0.1e-3 + static_cast<double>(size) / 300e6);
      return channel;
    }
    auto &freeAt = channels_[0];
    if (now > freeAt) // idle: the head read on past the last request, into the disk's cache
      ahead_ = std::min(kLookAhead, ahead_ + Seconds(now - freeAt).count() * kRate);
    double seconds = static_cast<double>(size) / kRate;
    if (offset == head_) {
      const double cached = std::min(ahead_, static_cast<double>(size));
      ahead_ -= cached;
      seconds -= cached / kRate;
    } else {
      const auto distance = offset > head_ ? offset - head_ : head_ - offset;
      seconds += distance < (1 << 20) ? 1e-3 : 8e-3;
      ahead_ = 0;
    }
    head_ = offset + static_cast<off_t>(size);
    freeAt = std::max(freeAt, now) + Time(seconds);
    return freeAt;
  }

private:
  static constexpr double kRate = 150e6;            // bytes a second under the head
  static constexpr double kLookAhead = 1024 * 1024; // what the disk reads on, about a track

  static Clock::duration Time(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
  }

  const bool spinning_;
  std::mutex mutex_;
  std::array<Clock::time_point, 8> channels_{}; // when each is free; a spinning disk has one
  off_t head_ = 0;                              // where the last request ended
  double ahead_ = 0; // bytes past head_ the spinning disk has read into its cache
};

struct Served {
  int fd;
  off_t size;
  Device device;
};

Served &State() { return *static_cast<Served *>(fuse_get_context()->private_data); }

void *Init(fuse_conn_info *conn, fuse_config *config) {
  config->direct_io = 1;
  // On one head, a read of the loop device's stays requests in order, not pieces racing each
  // other; flash channels want them at once.
  if (State().device.spinning())
    conn->want &= ~FUSE_CAP_ASYNC_DIO;
  return fuse_get_context()->private_data;
}

int GetAttr(const char *path, struct stat *info, fuse_file_info *) {
  *info = {};
  if (std::strcmp(path, "/") == 0) {
    info->st_mode = S_IFDIR | 0555;
    info->st_nlink = 2;
  } else if (path == std::string("/") + kName) {
    info->st_mode = S_IFREG | 0444;
    info->st_nlink = 1;
    info->st_size = State().size;
  } else {
    return -ENOENT;
  }
  return 0;
}

int ReadDir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
            fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0)
    return -ENOENT;
  for (const char *name : {".", "..", kName})
    fill(buffer, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char *path, fuse_file_info *file) {
  if (path != std::string("/") + kName)
    return -ENOENT;
  if ((file->flags & O_ACCMODE) != O_RDONLY)
    return -EROFS;
  file->direct_io = 1;
  return 0;
}

int Read(const char *, char *buffer, std::size_t size, off_t offset, fuse_file_info *) {
  Served &served = State();
  if (offset >= served.size)
    return 0;
  size = std::min<std::size_t>(size, static_cast<std::size_t>(served.size - offset));
  const auto done = served.device.Done(offset, size);
  const ssize_t got = ::pread(served.fd, buffer, size, offset);
  std::this_thread::sleep_until(done);
  return got < 0 ? -errno : static_cast<int>(got);
}

} // namespace

int main(int argc, char **argv) {
  const std::string kind = argc == 4 ? argv[1] : "";
  if (kind != "spinning" && kind != "flash") {
    std::fprintf(stderr, "usage: %s spinning|flash IMAGE MOUNTPOINT\n", argv[0]);
    return 2;
  }
  const int fd = ::open(argv[2], O_RDONLY);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  Served served{fd, info.st_size, Device(kind == "spinning")};

  fuse_operations operations{};
  operations.init = Init;
  operations.getattr = GetAttr;
  operations.readdir = ReadDir;
  operations.open = Open;
  operations.read = Read;
  // In the foreground, so that whoever started it can wait for it; threads enough for every
  // flash channel to be busy with a request waiting.
  char *fuseArgs[] = {argv[0], argv[3], const_cast<char *>("-f"), const_cast<char *>("-o"),
                      const_cast<char *>("ro,fsname=simulated_disk,max_threads=32")};
  return fuse_main(5, fuseArgs, &operations, &served);
}
