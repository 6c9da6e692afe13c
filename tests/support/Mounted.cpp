#include "Mounted.h"

#include "Launch.h"

#include <fstream>

#include <unistd.h>

namespace quillsum::test {

namespace fs = std::filesystem;

Mounted::Mounted(const fs::path &dir, const std::string &type, std::uint64_t bytes)
    : mount_(dir / type) {
  fs::create_directory(mount_);
  const std::string mkfs = type == "xfs"     ? "mkfs.xfs -q -f -m reflink=1"
                           : type == "btrfs" ? "mkfs.btrfs -q -f"
                                             : "mkfs.ext4 -q -F -b 4096";
  const std::string tool = mkfs.substr(0, mkfs.find(' '));
  if (::geteuid() != 0) {
    why_ = "mounting a " + type + " needs root";
  } else if (type == "tmpfs") {
    if (Shell("mount -t tmpfs -o size=\"$2\" tmpfs \"$1\" && echo mounted",
              {mount_, std::to_string(bytes)}) != "mounted\n")
      why_ = "no tmpfs could be mounted here";
  } else if (!fs::exists("/dev/loop-control")) {
    why_ = "no loop devices here (/dev/loop-control) for a " + type;
  } else if (Shell("command -v \"$1\"", {tool}).empty()) {
    why_ = "no " + tool + " here for a " + type;
  } else {
    const fs::path image = dir / (type + ".img");
    std::ofstream(image).close();
    fs::resize_file(image, bytes);
    if (Shell(mkfs + " \"$1\" >/dev/null 2>&1 && mount -o loop \"$1\" \"$2\" && echo mounted",
              {image, mount_}) != "mounted\n")
      why_ = "no " + type + " could be made and mounted on a loop device here";
  }
}

Mounted::~Mounted() {
  if (mounted())
    Shell("umount \"$1\"", {mount_});
}

} // namespace quillsum::test
