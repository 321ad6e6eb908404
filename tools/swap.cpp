// showreel-swap NEW FOLDER: puts the folder NEW in the place of FOLDER in one step, and the old
// FOLDER at NEW; without FOLDER, NEW becomes FOLDER. Whatever stops the machine, FOLDER is then
// either the old one or the new one, whole: two renames would leave a moment with neither.
// NEW's files are on the disk before the swap, and the swap before it returns.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

int Fail(const char* what, const char* path) {
  std::fprintf(stderr, "showreel-swap: cannot %s %s: %s\n", what, path, std::strerror(errno));
  return 1;
}

bool Sync(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// A rename is only on the disk once the folder that holds it is.
bool SyncParentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return Sync(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash));
}

bool SyncTree(const std::string& root) {
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
       it.increment(ec)) {
    const auto type = it->symlink_status(ec).type();
    if (type != std::filesystem::file_type::regular &&
        type != std::filesystem::file_type::directory) {
      continue;
    }
    if (!Sync(it->path())) return false;
  }
  return !ec && Sync(root);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: showreel-swap NEW FOLDER\n");
    return 64;
  }
  const char* const fresh = argv[1];
  const char* const target = argv[2];
  if (!SyncTree(fresh)) return Fail("make durable", fresh);
  if (renameat2(AT_FDCWD, fresh, AT_FDCWD, target, RENAME_EXCHANGE) != 0) {
    if (errno != ENOENT || access(fresh, F_OK) != 0) return Fail("swap in", target);
    if (renameat2(AT_FDCWD, fresh, AT_FDCWD, target, RENAME_NOREPLACE) != 0) {
      return Fail("move into place", target);
    }
  }
  if (!SyncParentOf(target) || !SyncParentOf(fresh)) return Fail("make durable", target);
  return 0;
}
