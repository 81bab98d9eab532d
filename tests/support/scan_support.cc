#include "support/scan_support.h"

#include <cstring>
#include <new>

#include "platform/system_calls.h"

scan_result scan_text(std::string_view bytes) {
  scan_result result;
  input_buffer buffer(result.lines, result.property_lines);
  if (bytes.size() >= input_buffer::largest_capacity || !buffer.reserve(bytes.size() + 1))
    throw std::bad_alloc();
  if (!bytes.empty()) {
    std::memcpy(buffer.room(), bytes.data(), bytes.size());
    buffer.added(bytes.size());
  }
  buffer.finish();
  return result;
}

std::vector<std::string> lines_of(const input_lines& lines) {
  std::vector<std::string> all;
  std::string_view text = lines.text();
  for (std::size_t at = 0; at < text.size();) {
    std::size_t newline = text.find('\n', at);
    all.emplace_back(text.substr(at, newline - at));
    at = newline + 1;
  }
  return all;
}

scan_result scan_reading(const std::string& path, std::size_t read_size) {
  struct restore {
    std::size_t size = sys::calls.input_read_size;
    ~restore() { sys::calls.input_read_size = size; }
  } saved;
  sys::calls.input_read_size = read_size;
  return scan(path);
}
