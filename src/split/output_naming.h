#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Output names: the input path with "-p" and the zero-padded number inserted
// before the extension, which is the final path component's last "." and
// what follows it ("" when that component has no "."). The padding is the
// digit count of the number of outputs.
class output_naming {
 public:
  output_naming(std::string_view input_path, std::uint64_t output_count);
  // Builds the name of output `number` into `name`, which may belong to
  // any thread.
  void build(std::uint64_t number, std::string& name) const;

 private:
  struct number_part {
    char text[32];  // "-p" and the padded number
  };
  number_part part_for(std::uint64_t number) const;

  std::string_view stem_, extension_;
  int width_;
};
