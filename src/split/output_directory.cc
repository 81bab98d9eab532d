#include "split/output_directory.h"

#include <cerrno>

#include "platform/platform.h"

const char* base_name(const std::string& name) {
  std::size_t slash = name.rfind('/');
  return name.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

int output_directory::open_for(const std::string& output_name) {
  std::size_t slash = output_name.rfind('/');
  std::string path = slash == std::string::npos ? "." : output_name.substr(0, slash + 1);
  fd_ = file_descriptor(platform::open_directory(path.c_str()));
  if (!fd_.valid()) return errno;
  survives_power_loss = !platform::held_in_memory(fd_.get());
  return 0;
}
