#include "split/output_directory.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/system_calls.h"

const char* base_name(const std::string& name) {
  std::size_t slash = name.rfind('/');
  return name.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

namespace {

// The directory part of `name`, with its final "/"; "." for none.
std::string directory_of(const std::string& name) {
  std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? "." : name.substr(0, slash + 1);
}

}  // namespace

int output_directory::open_for(const std::string& output_name) {
  std::string path = directory_of(output_name);
  fd_ = file_descriptor(platform::open_directory(path.c_str()));
  struct stat status;
  if (fd_.valid()) {
    if (sys::fstat(fd_.get(), &status) != 0) return errno;
    device_ = status.st_dev;
    inode_ = status.st_ino;
    survives_power_loss_ = !platform::held_in_memory(fd_.get());
    unnamed_temporaries_ = platform::makes_unnamed_files(fd_.get());
    return 0;
  }
  if (errno != EACCES || !platform::directories_open_for_reading()) return errno;
  // Perhaps a directory that can be written and searched but not listed:
  // named by paths, whatever is refused is refused output by output, as
  // with a descriptor. A system that opens directories only to read them
  // has no unnamed temporaries either.
  if (sys::stat(path.c_str(), &status) == 0) {
    device_ = status.st_dev;
    inode_ = status.st_ino;
  }
  prefix_ = path == "." ? "" : path;
  path_ = std::move(path);
  survives_power_loss_ = !platform::held_in_memory(path_.c_str());
  return 0;
}

const char* output_directory::name_of(const std::string& output_name) const {
  return fd_.valid() ? base_name(output_name) : output_name.c_str();
}

int output_directory::free_bytes(std::uint64_t& bytes) const {
  return platform::free_bytes(fd(), path_.c_str(), bytes);
}

bool output_directory::is(const std::string& path) const {
  struct stat status;
  return sys::stat(path.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_;
}

std::shared_ptr<output_directory> output_directories::open_for(const std::string& output_name,
                                                               int& error) {
  std::string path = directory_of(output_name);
  // A path that names another directory since (swapped, or a link turned)
  // gets that one; "." is the working directory, which no rename changes.
  if (last_ == nullptr || path != path_ || (path != "." && !last_->is(path))) {
    auto directory = std::make_shared<output_directory>();
    if ((error = directory->open_for(output_name)) != 0) return nullptr;
    last_ = std::move(directory);
    path_ = std::move(path);
  }
  error = 0;
  return last_;
}
